"""Quickstart: create an in-memory database and manage collections."""

from tessarine import Tessarine


def main() -> None:
    db = Tessarine()
    db.create_collection("articles", dimension=8, distance_metric="cosine")
    db.create_collection("products", dimension=8, distance_metric="euclidean", store_raw_vectors=True)
    print(db)
    print("collections:", sorted(db.list_collections()))
    print("deleted 'products':", db.delete_collection("products"))
    print(db)


if __name__ == "__main__":
    main()
