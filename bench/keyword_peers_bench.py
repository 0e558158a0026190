"""Keyword (BM25) query latency beside bm25s, Tantivy and SQLite FTS5.

    python bench/keyword_peers_bench.py [--quick] [--data PATH] [--repeats N]

The corpus is the data file's descriptions that are pure ASCII (on ASCII
text our tokenizer is: lower-case, split at every character that is not
a-z or 0-9, drop one-byte runs and stop words; this script applies the same
rule to feed the peers). Queries are 2,000 synopses spread over the corpus
(300 with --quick), top 10, one query per call, one thread.

- Tessarine: the Python API, `Tessarine.search(collection, query_text=...,
  k=10)`, on an ephemeral collection of dimension 1 holding the raw texts
  (our tokenizer runs inside); the time includes building the 10 result
  objects.
- bm25s: BM25(k1=1.2, b=0.75, method="lucene") over our terms;
  `retrieve([terms], k=10, n_threads=1)` per query.
- Tantivy: one text field with its default tokenizer, fed our terms joined
  by spaces; the query is our terms joined by OR; `searcher.search(q, 10)`.
- SQLite FTS5: the same joined terms, `MATCH` with the quoted terms joined by
  OR, `ORDER BY rank LIMIT 10` (FTS5's bm25 has k1 1.2, b 0.75).

Latency is the best of --repeats passes (3 by default) over all queries:
the machine is shared, so single passes are noisy. The sanity lines give
the overlap of each engine's top 10 with bm25s's (ties at the cut may
differ) and our scores' largest relative difference from bm25s's, whose
scores lack the constant factor k1 + 1 = 2.2.
"""

from __future__ import annotations

import argparse
import gzip
import json
import re
import sqlite3
import sys
import tempfile
import time

STOP_WORDS = frozenset(
    "a an and are as at be but by for if in into is it no not of on or such that the their "
    "then there these they this to was will with il lo la le li gli un uno una di da del dello "
    "della dei degli delle che per non si con su ha sono come ma anche se io ci".split()
)
NON_ALNUM = re.compile(r"[^a-z0-9]+")


def terms_of(text: str) -> list[str]:
    """Our tokenizer on ASCII text."""
    return [t for t in NON_ALNUM.split(text.lower()) if len(t) >= 2 and t not in STOP_WORDS]


def load(path: str, quick: bool) -> tuple[list[str], list[int], list[str]]:
    """ASCII descriptions, and the rows and texts of the query synopses."""
    descriptions: list[str] = []
    synopses: list[str] = []
    try:
        with gzip.open(path, "rt", encoding="utf-8") as lines:
            for line in lines:
                item = json.loads(line)
                if not item["description"].isascii() or not item["synopsis"].isascii():
                    continue
                descriptions.append(item["description"])
                synopses.append(item["synopsis"])
    except OSError:
        pass
    if not descriptions:  # no data file: generated text
        import random

        rng = random.Random(7)
        words = [f"w{i}" for i in range(5000)]
        weights = [1.0 / (i + 1) for i in range(5000)]
        for _ in range(5000 if quick else 60000):
            descriptions.append(" ".join(rng.choices(words, weights, k=rng.randint(5, 80))))
            synopses.append(" ".join(rng.choices(words, weights, k=rng.randint(2, 6))))
    count = 300 if quick else 2000
    stride = max(1, len(descriptions) // count)
    rows = list(range(0, len(descriptions), stride))[:count]
    return descriptions, rows, [synopses[r] for r in rows]


def best_pass(run, queries, repeats: int) -> float:
    """Best mean seconds per query over several passes."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for q in queries:
            run(q)
        best = min(best, (time.perf_counter() - start) / len(queries))
    return best


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default="../shared/data/debian-packages.jsonl.gz")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    try:
        import bm25s
        import numpy as np
        import tantivy
    except ImportError as e:
        print(f"skipped: {e} (make bench installs bench/requirements-peers.txt)")
        return 0
    from tessarine import Tessarine

    descriptions, rows, synopses = load(args.data, args.quick)
    doc_terms = [terms_of(d) for d in descriptions]
    query_terms = [terms_of(s) for s in synopses]
    keep = [i for i, t in enumerate(query_terms) if t]
    rows = [rows[i] for i in keep]
    synopses = [synopses[i] for i in keep]
    query_terms = [query_terms[i] for i in keep]
    print(
        f"{len(descriptions)} ASCII descriptions, {len(synopses)} synopsis queries "
        f"(mean {sum(map(len, query_terms)) / len(query_terms):.1f} terms), k 10, one thread; "
        f"best of {args.repeats} passes"
    )
    k = 10
    results: dict[str, list[list[int]]] = {}
    latency: dict[str, float] = {}

    # Tessarine, through the Python API.
    db = Tessarine()
    db.create_collection("kw", dimension=1)
    ids: list[str] = []
    for start in range(0, len(descriptions), 5000):
        ids.extend(
            db.batch_insert(
                "kw",
                [{"text": d, "embedding": [1.0]} for d in descriptions[start : start + 5000]],
            )
        )
    row_of = {str(i): r for r, i in enumerate(ids)}
    latency["tessarine"] = best_pass(
        lambda q: db.search("kw", query_text=q, k=k), synopses, args.repeats
    )
    ours = [db.search("kw", query_text=q, k=k) for q in synopses]
    results["tessarine"] = [[row_of[str(r.id)] for r in hits] for hits in ours]

    # bm25s over our terms.
    retriever = bm25s.BM25(k1=1.2, b=0.75, method="lucene")
    vocabulary: dict[str, int] = {}
    corpus_ids = [[vocabulary.setdefault(t, len(vocabulary)) for t in terms] for terms in doc_terms]
    retriever.index(bm25s.tokenization.Tokenized(ids=corpus_ids, vocab=vocabulary),
                    show_progress=False)

    def bm25s_query(terms: list[str]):
        return retriever.retrieve([terms], k=k, n_threads=1, show_progress=False)

    latency["bm25s"] = best_pass(bm25s_query, query_terms, args.repeats)
    bm25s_rows, bm25s_scores = [], []
    for terms in query_terms:
        found, scores = bm25s_query(terms)
        # bm25s pads with score-0 entries when fewer than k documents match.
        bm25s_rows.append([int(d) for d, s in zip(found[0], scores[0]) if s > 0])
        bm25s_scores.append([float(s) for s in scores[0] if s > 0])
    results["bm25s"] = bm25s_rows

    # Tantivy, default tokenizer over our terms joined by spaces.
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False)
    builder.add_integer_field("row", stored=True, fast=True)
    schema = builder.build()
    with tempfile.TemporaryDirectory() as tantivy_dir:
        index = tantivy.Index(schema, path=tantivy_dir)
        writer = index.writer(heap_size=256_000_000, num_threads=1)
        for r, terms in enumerate(doc_terms):
            writer.add_document(tantivy.Document(body=" ".join(terms), row=r))
        writer.commit()
        writer.wait_merging_threads()
        index.reload()
        searcher = index.searcher()
        tantivy_queries = [index.parse_query(" OR ".join(t), ["body"]) for t in query_terms]
        latency["tantivy"] = best_pass(lambda q: searcher.search(q, k), tantivy_queries,
                                       args.repeats)
        results["tantivy"] = [
            [searcher.doc(a)["row"][0] for _, a in searcher.search(q, k).hits]
            for q in tantivy_queries
        ]

    # SQLite FTS5 over the same joined terms.
    con = sqlite3.connect(":memory:")
    con.execute("CREATE VIRTUAL TABLE docs USING fts5(body)")
    con.executemany("INSERT INTO docs(rowid, body) VALUES (?, ?)",
                    ((r, " ".join(t)) for r, t in enumerate(doc_terms)))
    fts_queries = [" OR ".join(f'"{t}"' for t in terms) for terms in query_terms]
    sql = "SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY rank LIMIT 10"
    latency["sqlite fts5"] = best_pass(lambda q: con.execute(sql, (q,)).fetchall(), fts_queries,
                                       args.repeats)
    results["sqlite fts5"] = [[r for (r,) in con.execute(sql, (q,))] for q in fts_queries]

    print(f"  {'engine':<12} {'us/query':>10} {'vs tantivy':>11} {'vs tessarine':>13} "
          f"{'top-10 overlap with bm25s':>27}")
    for name in ("tessarine", "bm25s", "tantivy", "sqlite fts5"):
        overlap = [
            len(set(a) & set(b)) / max(len(b), 1) for a, b in zip(results[name], results["bm25s"])
        ]
        print(f"  {name:<12} {latency[name] * 1e6:10.1f} {latency[name] / latency['tantivy']:10.2f}x "
              f"{latency[name] / latency['tessarine']:12.2f}x {100 * np.mean(overlap):26.2f}%")
    worst = 0.0
    same_order = 0
    for hits, rows_b, scores_b in zip(ours, bm25s_rows, bm25s_scores):
        got = [row_of[str(h.id)] for h in hits]
        same_order += got == rows_b
        # bm25s leaves out the constant factor k1 + 1 = 2.2 of the formula.
        score_b = {r: s * 2.2 for r, s in zip(rows_b, scores_b)}
        for row, h in zip(got, hits):
            if row in score_b:
                worst = max(worst, abs(h.score - score_b[row]) / score_b[row])
    print(f"  tessarine vs bm25s: same ids in the same order on {same_order} of {len(ours)} "
          f"queries (equal scores are ordered by id the other way round); scores, times 2.2, "
          f"within {worst:.1e} relative")
    return 0


if __name__ == "__main__":
    sys.exit(main())
