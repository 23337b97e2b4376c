"""An inventory of products with nested suppliers: dotted paths, ranges, views, assignments.

    python examples/inventory.py
"""

import random
from typing import List

from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q


class Supplier(Indexable):
    name: str
    country: str
    rating: int


class Product(Indexable):
    sku: str
    category: str
    price: float
    stock: int
    supplier: Supplier


def show(title: str, found: List[Product]) -> None:
    skus = ", ".join(p.sku for p in found[:5]) + (", ..." if len(found) > 5 else "")
    print(f"{title}: {len(found)} [{skus}]")


def main() -> None:
    rng = random.Random(11)
    suppliers = [
        Supplier(name="Acme", country="DE", rating=5),
        Supplier(name="Bolton", country="UK", rating=3),
        Supplier(name="Cortez", country="ES", rating=4),
        Supplier(name="Dunmore", country="DE", rating=2),
    ]
    catalogue = [
        Product(
            sku=f"{category[:3].upper()}-{n:03d}",
            category=category,
            price=round(rng.uniform(0.5, 80.0), 2),
            stock=rng.randint(0, 40),
            supplier=rng.choice(suppliers),
        )
        for n, category in enumerate(rng.choice(["tools", "fasteners", "paint"]) for _ in range(300))
    ]
    # An Index[Product] takes and returns products: results are List[Product]
    # for the type checker, with no casts.  (`Index[Product]()` works too.)
    index: Index[Product] = Index()
    index.add_object_many(catalogue)

    out_of_stock: List[Product] = index.get_by_attribute(category="fasteners", stock=0)
    show("fasteners out of stock", out_of_stock)
    show("priced 10 to 20", index.reduced_query(Q.bt("price", 10, 20)).collect())
    german_good = Q.and_(Q.eq("supplier.country", "DE"), Q.ge("supplier.rating", 4))
    show("from well-rated German suppliers", index.reduced_query(german_good).collect())

    # A view keeps its set of products; narrowing it reads current values.
    tools = index.reduced(category="tools")  # a FilteredIndex[Product]
    low = Q.lt("stock", 5)
    show("tools low on stock", tools.reduced_query(low).collect())

    # Restocking is an assignment: the index follows without being told.
    for product in tools.reduced_query(low).collect():
        product.stock += 50
    show("tools low on stock after restocking", tools.reduced_query(low).collect())
    assert not tools.reduced_query(low).collect()

    # Move the paint to another supplier: dotted paths follow the new object.
    cortez = suppliers[2]
    for product in index.get_by_attribute(category="paint"):
        product.supplier = cortez
    spanish = index.reduced_query(Q.eq("supplier.country", "ES")).collect()
    show("from Spain, paint included", spanish)
    assert spanish == [p for p in catalogue if p.supplier.country == "ES"]
    german = index.reduced_query(Q.eq("supplier.country", "DE")).collect()
    assert german and all(p.category != "paint" for p in german)

    # A price list of the expensive tools, as an index of its own.
    price_list: Index[Product] = tools.reduced_query(Q.gt("price", 60)).rebase()
    expensive: List[Product] = price_list.collect()
    show("expensive tools", expensive)
    assert expensive == [p for p in catalogue if p.category == "tools" and p.price > 60]
    total = sum(p.price * p.stock for p in expensive)
    print(f"value of expensive tools in stock: {total:.2f}")


if __name__ == "__main__":
    main()
