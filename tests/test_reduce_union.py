"""Index.reduce (narrowing in place) and Index.union_with (merging indexes)."""

import pytest

from Corvane import Index, Indexable, PyQueryExpr as Q

from conftest import make_index, select


# --------------------------------------------------------------------------
# reduce


class TestReduce:
    def test_lookups_see_only_matches(self):
        o1, o2 = Indexable(x=5, y=1), Indexable(x=6, y=1)
        idx = make_index(o1, o2)
        assert idx.reduce(x=5) is None
        assert idx.get_by_attribute(y=1) == [o1]
        assert idx.get_by_attribute(x=6) == []
        assert idx.get_by_attribute(x=5) == [o1]
        assert idx.reduced(y=1).collect() == [o1]
        assert idx.reduced_query(Q.eq("y", 1)).collect() == [o1]
        assert idx.reduced_query(Q.in_("x", [5, 6])).collect() == [o1]

    def test_collect_and_universe_still_cover_all_members(self):
        o1, o2 = Indexable(x=5, y=1), Indexable(x=6, y=1)
        idx = make_index(o1, o2)
        idx.reduce(x=5)
        assert idx.collect() == [o1, o2]
        assert select(idx, Q.and_()) == [o1, o2]
        # Complements are taken within all members.
        assert select(idx, Q.ne("x", 5)) == [o2]
        assert select(idx, Q.not_(Q.eq("y", 1))) == [o2]
        # Range trees are left as they were.
        assert select(idx, Q.gt("x", 0)) == [o1, o2]

    def test_keyword_forms(self):
        objs = [Indexable(a=i % 3, b=i % 2) for i in range(9)]
        idx = make_index(*objs)
        idx.reduce(a=[0, 2], b=1)
        want = [o for o in objs if o.a in (0, 2) and o.b == 1]
        assert idx.get_by_attribute(b=1) == want
        assert idx.get_by_attribute(a=[0, 1, 2]) == want
        assert idx.get_by_attribute(b=0) == []

    def test_selecting_nothing_empties_every_lookup(self):
        objs = [Indexable(a=i) for i in range(6)]
        for filters in ({}, {"missing": 1}, {"a": []}):
            idx = make_index(*objs)
            idx.reduce(**filters)
            assert idx.get_by_attribute(a=list(range(6))) == []
            assert idx.collect() == objs
            # The index stays usable: new objects are found again.
            late = Indexable(a=1)
            idx.add_object(late)
            assert idx.get_by_attribute(a=1) == [late]

    def test_reduce_twice_and_assign_afterwards(self):
        o1, o2 = Indexable(x=5, y=1), Indexable(x=5, y=2)
        idx = make_index(o1, o2, Indexable(x=6))
        idx.reduce(x=5)
        idx.reduce(x=5)
        assert idx.get_by_attribute(x=5) == [o1, o2]
        # Reduce re-enters the kept objects; nothing is recorded twice, so
        # one assignment moves the object completely.
        o1.x = 7
        assert idx.get_by_attribute(x=7) == [o1]
        assert idx.get_by_attribute(x=5) == [o2]
        assert select(idx, Q.lt("x", 6)) == [o2]
        assert select(idx, Q.eq("x", 5)) == [o2]

    def test_assignments_after_reduce(self):
        # o1 is narrowed away from the set of x == 5, but its range entry and
        # its attribute stay; an assignment moves it like any other object
        # and makes it visible to equality lookups again.
        o1, o2, o3 = Indexable(x=5), Indexable(x=5, y=1), Indexable(x=9, y=1)
        idx = make_index(o1, o2, o3)
        idx.reduce(y=1)
        assert idx.get_by_attribute(x=5) == [o2]
        o1.x = 7
        assert idx.get_by_attribute(x=7) == [o1]
        assert select(idx, Q.lt("x", 6)) == [o2]
        assert select(idx, Q.gt("x", 6)) == [o1, o3]
        o1.x = 5
        assert idx.get_by_attribute(x=5) == [o1, o2]
        o2.x = 6
        o1.x = 7
        assert select(idx, Q.lt("x", 5.5)) == []
        assert select(idx, Q.bt("x", 5, 6)) == [o2]
        assert idx.get_by_attribute(x=5) == []
        assert idx.get_by_attribute(y=1) == [o2, o3]

    def test_reduce_uses_current_values(self):
        o1, o2 = Indexable(x=5, y=1), Indexable(x=6, y=1)
        idx = make_index(o1, o2)
        o2.x = 5
        idx.reduce(x=5)
        assert idx.get_by_attribute(y=1) == [o1, o2]
        o2.y = 2
        assert idx.get_by_attribute(y=2) == [o2]

    def test_reduce_with_nested_values(self):
        owner = Indexable(name="ann")
        a, b = Indexable(k=1, owner=owner), Indexable(k=2, owner=Indexable(name="bob"))
        idx = make_index(a, b)
        idx.reduce(k=1)
        assert idx.get_by_attribute(owner=owner) == [a]
        assert select(idx, Q.eq("owner.name", "ann")) == [a]
        a.owner = "none"
        assert select(idx, Q.eq("owner.name", "ann")) == []

    def test_iterator_error_leaves_the_index_unchanged(self):
        """M11: the iterator's own exception reaches the caller."""

        class Boom(Exception):
            pass

        def failing_values():
            yield 5
            raise Boom("iterator failed")

        o1, o2 = Indexable(x=5), Indexable(x=6)
        idx = make_index(o1, o2)
        with pytest.raises(Boom):
            idx.reduce(x=failing_values())
        assert idx.get_by_attribute(x=[5, 6]) == [o1, o2]

    def test_argument_errors(self):
        idx = Index()
        with pytest.raises(TypeError) as info:
            idx.reduce(5)
        assert str(info.value) == "Index.reduce() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as info:
            idx.reduced(5)
        assert str(info.value) == "Index.reduced() takes 0 positional arguments but 1 was given"


class TestReduceAfterUnion:
    """After union_with an index holds the other index's objects too, so
    reduce can read every id its maps hold."""

    def setup_method(self):
        self.oa = Indexable(x=5, z=1)
        self.oc = Indexable(x=6, z=1)
        self.ob = Indexable(x=5, z=2)
        self.a = make_index(self.oa, self.oc)
        self.b = make_index(self.ob)
        self.a.union_with(self.b)

    def test_reduce_keeps_merged_objects(self):
        a, oa, oc, ob = self.a, self.oa, self.oc, self.ob
        a.reduce(x=5)
        assert a.get_by_attribute(x=[5, 6]) == [oa, ob]
        assert a.get_by_attribute(z=[1, 2]) == [oa, ob]
        assert a.collect() == [oa, oc, ob]
        assert select(a, Q.eq("z", 1)) == [oa]
        # The source is unchanged.
        assert self.b.get_by_attribute(x=[5, 6]) == [ob]

    def test_index_stays_usable(self):
        a, oa, oc, ob = self.a, self.oa, self.oc, self.ob
        a.reduce(z=1)
        assert a.get_by_attribute(x=6) == [oc]
        assert a.get_by_attribute(z=[1, 2]) == [oa, oc]
        oc.x = 8
        ob.z = 1  # merged objects are followed like the index's own
        assert a.get_by_attribute(x=8) == [oc]
        assert a.get_by_attribute(z=1) == [oa, oc, ob]
        late = Indexable(x=9)
        a.add_object(late)
        assert a.get_by_attribute(x=9) == [late]

    def test_lookups_find_merged_objects(self):
        a, oa, oc, ob = self.a, self.oa, self.oc, self.ob
        assert a.get_by_attribute(x=5) == [oa, ob]
        assert a.get_by_attribute(z=2) == [ob]
        assert a.reduced(z=2).collect() == [ob]
        assert a.reduced(z=2).rebase().collect() == [ob]
        assert a.get_by_attribute(z=1) == [oa, oc]

    def test_expression_queries_range_over_merged_members(self):
        a, oa, oc, ob = self.a, self.oa, self.oc, self.ob
        assert select(a, Q.eq("x", 5)) == [oa, ob]
        assert select(a, Q.eq("z", 2)) == [ob]
        assert select(a, Q.and_()) == [oa, oc, ob]
        # Range entries are merged too; adding the object again changes nothing.
        assert select(a, Q.gt("z", 1)) == [ob]
        a.add_object(ob)
        assert select(a, Q.gt("z", 1)) == [ob]


class TestObjectsInUse:
    """An object whose assignment is in progress (here: while its new value
    is being hashed) must not be read by reduce nor rebuilt by rebase: the
    indexes may already hold its new value while its own map still holds the
    old one."""

    @staticmethod
    def during_assignment(obj, call):
        outcome = {}

        class Reentrant(int):
            def __hash__(self):
                try:
                    call()
                    outcome["returned"] = True
                except BaseException as e:
                    outcome["error"] = e
                return 7

        obj.x = Reentrant(7)
        return outcome.get("error")

    def test_reduce_refuses_and_changes_nothing(self):
        o, p = Indexable(k=1, x=0), Indexable(k=2, x=0)
        idx = make_index(o, p)
        error = self.during_assignment(o, lambda: idx.reduce(k=1))
        assert type(error) is RuntimeError
        assert str(error) == "Already mutably borrowed"
        assert idx.get_by_attribute(k=2) == [p]
        assert idx.get_by_attribute(x=0) == [p]
        assert idx.get_by_attribute(x=7) == [o]
        idx.reduce(k=1)
        assert idx.get_by_attribute(k=2) == []
        assert idx.get_by_attribute(x=7) == [o]

    def test_rebase_refuses(self):
        o, p = Indexable(k=1, x=0), Indexable(k=2, x=0)
        idx = make_index(o, p)
        view = idx.reduced(k=[1, 2])
        error = self.during_assignment(o, view.rebase)
        assert type(error) is RuntimeError
        assert str(error) == "Already borrowed"
        rebuilt = view.rebase()
        assert rebuilt.get_by_attribute(x=7) == [o]
        assert rebuilt.get_by_attribute(x=0) == [p]

    def test_union_refuses_and_changes_nothing(self):
        o, p, q = Indexable(k=1, x=0), Indexable(k=2, x=0), Indexable(k=3, x=0)
        source, target = make_index(o, p), make_index(q)
        error = self.during_assignment(o, lambda: target.union_with(source))
        assert type(error) is RuntimeError
        assert str(error) == "Already borrowed"
        assert target.collect() == [q]
        assert target.get_by_attribute(x=[0, 7]) == [q]
        target.union_with(source)
        assert target.get_by_attribute(x=[0, 7]) == [o, p, q]
        o.x = 1  # the target follows the merged object
        assert target.get_by_attribute(x=1) == [o]


# --------------------------------------------------------------------------
# union_with


class TestUnion:
    def test_names_only_in_the_source_appear(self):
        # A rebuilt index records hidden names, which an ordinary index never
        # does, so its maps hold a name the target lacks while both stores
        # hold the same object.
        o = Indexable(x=1, _h=5)
        target = make_index(o)
        source = target.reduced(x=1).rebase()
        assert target.get_by_attribute(_h=5) == []
        assert target.union_with(source) is None
        assert target.get_by_attribute(_h=5) == [o]
        assert target.reduced(_h=5).collect() == [o]
        assert source.get_by_attribute(_h=5) == [o]

    def test_merged_objects_are_held(self):
        a1, b1 = Indexable(x=1), Indexable(y=2)
        a, b = make_index(a1), make_index(b1)
        assert a.get_by_attribute(y=2) == []
        a.union_with(b)
        assert a.get_by_attribute(y=2) == [b1]
        assert a.collect() == [a1, b1]
        assert select(a, Q.and_()) == [a1, b1]
        assert select(a, Q.eq("y", 2)) == [b1]
        # Assignments to a merged object reach the target.
        b1.y = 3
        assert a.get_by_attribute(y=3) == [b1] and a.get_by_attribute(y=2) == []
        # The source is unchanged, and each index keeps its object alive.
        del b
        assert a.get_by_attribute(y=3) == [b1]
        assert a.get_by_attribute(x=1) == [a1]

    def test_values_are_united(self):
        o1, o2 = Indexable(x=1, _h=1), Indexable(x=2, _h=2)
        source = make_index(o1, o2).reduced(x=[1, 2]).rebase()  # _h: 1, 2
        target = make_index(o1).reduced(x=1).rebase()  # _h: 1
        target.add_object(o2)  # stored, but its hidden name is not entered
        assert target.get_by_attribute(_h=2) == []
        target.union_with(source)
        assert target.get_by_attribute(_h=1) == [o1]
        assert target.get_by_attribute(_h=2) == [o2]
        assert target.get_by_attribute(_h=[1, 2]) == [o1, o2]
        assert target.get_by_attribute(x=[1, 2]) == [o1, o2]

    @pytest.mark.parametrize("count", [1, 3, 6])
    def test_shared_objects_move_cleanly_after_a_merge(self, count):
        objs = [Indexable(x=1) for _ in range(count)]
        a, b = make_index(*objs), make_index(*objs)
        a.union_with(b)
        a.union_with(b)
        assert a.get_by_attribute(x=1) == objs
        objs[0].x = 2
        assert a.get_by_attribute(x=1) == objs[1:]
        assert a.get_by_attribute(x=2) == [objs[0]]
        assert b.get_by_attribute(x=1) == objs[1:]
        for o in objs:
            o.x = 3
        assert a.get_by_attribute(x=1) == []
        assert a.get_by_attribute(x=[1, 2]) == []
        assert a.get_by_attribute(x=3) == objs

    def test_union_with_an_empty_index_changes_nothing(self):
        o = Indexable(x=1)
        a = make_index(o)
        a.union_with(Index())
        assert a.get_by_attribute(x=1) == [o]
        empty = Index()
        empty.union_with(Index())
        assert empty.collect() == []

    def test_views_with_merged_ids(self):
        old = Indexable(y=1)  # created before anything `a` stores
        kept = Indexable(x=1, y=1)
        new = Indexable(y=1, w=1)  # created after
        a = make_index(kept)
        a.union_with(make_index(old, new))
        # Both fall into a's store, before and past what it held.
        assert a.reduced(y=1).rebase().collect() == [old, kept, new]
        assert a.reduced(y=1).collect() == [old, kept, new]
        assert a.reduced(w=1).rebase().collect() == [new]
        assert a.reduced(w=1).collect() == [new]
        assert a.reduced(y=1).reduced_query(Q.eq("x", 1)).rebase().collect() == [kept]
        kept.y = 2
        assert a.get_by_attribute(y=2) == [kept]
        assert a.collect() == [old, kept, new]

    def test_union_with_itself_is_refused(self):
        idx = make_index(Indexable(x=1))
        with pytest.raises(RuntimeError) as info:
            idx.union_with(idx)
        assert str(info.value) == "Already mutably borrowed"
        assert len(idx.get_by_attribute(x=1)) == 1

    def test_argument_errors(self):
        idx = Index()
        for bad, name in [(5, "int"), (idx.reduced(x=1), "FilteredIndex"), (None, "NoneType")]:
            with pytest.raises(TypeError) as info:
                idx.union_with(bad)
            assert str(info.value) == (
                "argument 'other': '%s' object cannot be converted to 'Index'" % name
            )
        with pytest.raises(TypeError) as info:
            idx.union_with()
        assert str(info.value) == (
            "Index.union_with() missing 1 required positional argument: 'other'"
        )
        with pytest.raises(TypeError) as info:
            idx.union_with(other=idx, extra=1)
        assert str(info.value) == "Index.union_with() got an unexpected keyword argument 'extra'"
        # Passing the argument by keyword works.
        other = make_index(Indexable(w=1))
        idx.union_with(other=other)
