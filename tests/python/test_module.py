"""The module, its classes, argument handling and collection management."""

import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tessarine
from tessarine import CollectionInfo, SearchResult, Tessarine
from tessarine import _tessarine


def test_module_exposes_exactly_three_classes_in_order():
    assert _tessarine.__all__ == ["Tessarine", "SearchResult", "CollectionInfo"]
    public = [n for n in dir(_tessarine) if not n.startswith("_")]
    assert sorted(public) == sorted(_tessarine.__all__)
    assert tessarine.Tessarine is _tessarine.Tessarine


def test_reimport_returns_the_same_module():
    import importlib

    assert importlib.import_module("tessarine._tessarine") is _tessarine


def test_class_docstrings():
    assert Tessarine.__doc__.startswith("In-process vector database with HNSW and BM25 indexing.")
    assert "Create ephemeral or persistent databases:" in Tessarine.__doc__
    assert "# ephemeral (in-memory only)" in Tessarine.__doc__
    assert "# with WAL persistence and crash recovery" in Tessarine.__doc__
    assert SearchResult.__doc__ == "A single search result with document ID, text, score, and metadata."
    assert CollectionInfo.__doc__ == "Information about a collection."


def test_every_method_has_a_signature():
    assert str(inspect.signature(Tessarine)) == (
        "(data_dir=None, encryption_key=None, auto_checkpoint=0.1)")
    for name, member in vars(Tessarine).items():
        if name.startswith("_") or not callable(member):
            continue
        sig = inspect.signature(member)  # raises if a docstring lacks its text signature
        assert list(sig.parameters)[0] == "self", name
    assert str(inspect.signature(Tessarine.create_collection)) == (
        "(self, /, name, dimension, m=None, ef_construction=None, ef_search=None, "
        "distance_metric=None, store_raw_vectors=None)"
    )
    assert str(inspect.signature(Tessarine.update)) == (
        "(self, /, collection, id, *, text=None, embedding=None, metadata=None)"
    )


def test_stubs_declare_every_method_with_its_parameters():
    stub = ast.parse((pathlib.Path(tessarine.__file__).parent / "_tessarine.pyi").read_text())
    (cls,) = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "Tessarine"]
    declared = {f.name: [a.arg for a in f.args.args + f.args.kwonlyargs]
                for f in cls.body if isinstance(f, ast.FunctionDef)}
    for name, member in vars(Tessarine).items():
        if name.startswith("__") and name not in ("__enter__", "__exit__"):
            continue
        if not callable(member):
            continue
        assert name in declared, name
        assert declared[name] == list(inspect.signature(member).parameters), name


@pytest.mark.parametrize("cls", [SearchResult, CollectionInfo])
def test_result_classes_cannot_be_constructed(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()


def test_repr_counts_collections(db):
    assert repr(db) == "Tessarine(collections=0)"
    db.create_collection("a", 3)
    db.create_collection("b", 3)
    assert repr(db) == "Tessarine(collections=2)"


def test_create_list_delete(db):
    db.create_collection("A", 4)
    db.create_collection("a", 4)
    db.create_collection("", 0)
    assert sorted(db.list_collections()) == ["", "A", "a"]
    assert db.delete_collection("A") is True
    assert db.delete_collection("A") is False
    assert db.delete_collection("missing") is False
    assert sorted(db.list_collections()) == ["", "a"]


def test_duplicate_collection_raises_and_keeps_the_first(db):
    db.create_collection("docs", 3)
    with pytest.raises(ValueError, match="^Collection 'docs' already exists$"):
        db.create_collection("docs", 5)
    assert db.list_collections() == ["docs"]


def test_unknown_metric_is_case_sensitive_and_creates_nothing(db):
    with pytest.raises(ValueError) as info:
        db.create_collection("c", 3, distance_metric="Cosine")
    assert str(info.value) == (
        "unknown distance metric: 'Cosine' (use 'cosine', 'euclidean', or 'dot_product')"
    )
    assert db.list_collections() == []
    for metric in ("cosine", "euclidean", "dot_product", None):
        db.create_collection(f"m-{metric}", 3, distance_metric=metric)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"name": "c", "dimension": -1}, OverflowError, "argument 'dimension': "),
        ({"name": "c", "dimension": 2**64}, OverflowError, "argument 'dimension': "),
        ({"name": "c", "dimension": "4"}, TypeError, "argument 'dimension': "),
        ({"name": "c", "dimension": 4.0}, TypeError, "argument 'dimension': "),
        ({"name": 5, "dimension": 4}, TypeError,
         "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ({"name": "c", "dimension": 4, "m": -3}, OverflowError, "argument 'm': "),
        ({"name": "c", "dimension": 4, "store_raw_vectors": 1}, TypeError,
         "argument 'store_raw_vectors': 'int' object cannot be converted to 'PyBool'"),
        ({"name": "c", "dimension": 4, "distance_metric": 1}, TypeError,
         "argument 'distance_metric': "),
    ],
)
def test_argument_conversion_errors(db, kwargs, exc, message):
    with pytest.raises(exc) as info:
        db.create_collection(**kwargs)
    assert str(info.value).startswith(message)
    assert db.list_collections() == []


def test_large_and_boundary_integers_are_accepted(db):
    db.create_collection("big", 0, m=2**64 - 1, ef_construction=2**64 - 1, ef_search=0)
    db.create_collection("m8", 3, m=8, store_raw_vectors=True)
    assert sorted(db.list_collections()) == ["big", "m8"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db: db.create_collection("c"),
         "Tessarine.create_collection() missing 1 required positional argument: 'dimension'"),
        (lambda db: db.create_collection(),
         "Tessarine.create_collection() missing 2 required positional arguments: 'name' and 'dimension'"),
        (lambda db: db.create_collection("c", 3, bogus=1),
         "Tessarine.create_collection() got an unexpected keyword argument 'bogus'"),
        (lambda db: db.create_collection("c", 3, name="d"),
         "Tessarine.create_collection() got multiple values for argument 'name'"),
        (lambda db: db.delete_collection("a", "b"),
         "Tessarine.delete_collection() takes 1 positional argument but 2 were given"),
        (lambda db: db.list_collections(1),
         "Tessarine.list_collections() takes 0 positional arguments but 1 was given"),
        (lambda db: db.create_collection("c", 3, 1, 2, 3, "cosine", False, 9),
         "Tessarine.create_collection() takes from 2 to 7 positional arguments but 8 were given"),
    ],
)
def test_argument_count_errors(db, call, message):
    with pytest.raises(TypeError) as info:
        call(db)
    assert str(info.value) == message


def test_constructor_argument_errors():
    with pytest.raises(TypeError, match="argument 'data_dir'"):
        Tessarine(data_dir=123)
    with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
        Tessarine(path="x")


def test_subinterpreter_import_raises_importerror():
    code = textwrap.dedent(
        """
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("SKIP"); sys.exit(0)
        interp = interpreters.create()
        script = (
            "try:\\n"
            "    import tessarine._tessarine\\n"
            "    raise SystemExit('imported')\\n"
            "except ImportError as e:\\n"
            "    pass\\n"
        )
        try:
            interpreters.run_string(interp, script)
        except Exception as e:  # the subinterpreter's failure surfaces here
            print("FAILED", e); sys.exit(1)
        print("OK")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if out.stdout.strip() == "SKIP":
        pytest.skip("no subinterpreter support in this Python")
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.strip() == "OK"
