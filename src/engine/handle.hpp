// Python references as the engine holds them.
//
// The engine stores Python objects (attribute values, indexed objects) but
// never calls into the interpreter: it only needs the object type, which is
// declared here without the interpreter's headers, and a way to give a
// reference back.  What the engine needs from the interpreter is a pair of
// hooks that the binding installs when the module loads; a program without
// the binding (the C++ tests) leaves them unset.
//
// `SharedRef` is a shared handle to one strong reference, with an atomic
// count of its own, so that the engine can copy and drop it on any thread.
// Each handle also carries the object's address, so that reading the object
// never touches the shared count.  The counts are 4-byte cells drawn from a
// pool of their own: one count per stored value, and a heap block for each
// would cost eight times as much.
// When the last handle goes, the reference goes back through the `release`
// hook, which drops it at once where the interpreter lock is held and parks
// it for later otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

// The interpreter's object type, declared the way its own headers declare it.
typedef struct _object PyObject;

namespace corvane {

struct ElementKeys;

// One equality class: the values the binding found equal by Python's `==`
// (equal hashes and `==`, as for dict keys), which therefore are one key.
// The engine compares classes by address and only counts their handles;
// the binding allocates them, keeps them in its registry and frees them
// through the `drop_class` hook once the last handle goes.
//
// The class of a tuple or frozenset stored as an attribute value also
// carries the keys of its elements (see `ElementKeys`), set once by the
// binding before the first such value is stored and owned by the class from
// then on.  The class of an unhashable tuple, which is a key of its own, is
// only a carrier of those keys.
struct EqualityClass {
    std::atomic<uint32_t> count{1};
    std::atomic<const ElementKeys*> elements{nullptr};
};

struct InterpreterHooks {
    // Give one strong reference back.
    void (*release)(PyObject* obj) noexcept = nullptr;
    // Before blocking on a lock: let other threads use the interpreter if
    // this thread holds it.  Returns what `resume` needs, or null when
    // there was nothing to give up.
    void* (*suspend)() noexcept = nullptr;
    // After blocking: take the interpreter back with what `suspend` returned.
    void (*resume)(void* token) noexcept = nullptr;
    // The last handle of an equality class is gone (see `ClassRef`).
    void (*drop_class)(EqualityClass* cls) noexcept = nullptr;
};

// Installed once by the binding before any index exists.
extern InterpreterHooks interpreter_hooks;

// Run `block` (a blocking wait) with the interpreter given up for its
// duration, so that a thread holding the interpreter lock never waits on
// an index lock while holding it.
template <class F>
void wait_unblocked(F&& block) {
    void* token = interpreter_hooks.suspend ? interpreter_hooks.suspend() : nullptr;
    struct Resume {
        void* token;
        ~Resume() {
            if (token) interpreter_hooks.resume(token);
        }
    } resume{token};
    block();
}

// Adoption tag: the handle takes over a strong reference its caller owns.
struct adopt_t {};
inline constexpr adopt_t adopt{};

class SharedRef {
public:
    SharedRef() noexcept = default;
    // Adopts a strong reference (the caller has taken it).
    SharedRef(adopt_t, PyObject* obj) : box_(new_count()), obj_(obj) {}
    // A handle that holds no reference: something else keeps `obj` alive
    // for as long as the handle and its copies live (an element of a tuple,
    // kept alive by the tuple).  It tests false.
    static SharedRef unowned(PyObject* obj) noexcept {
        SharedRef r;
        r.obj_ = obj;
        return r;
    }

    SharedRef(const SharedRef& o) noexcept : box_(o.box_), obj_(o.obj_) {
        if (box_) box_->fetch_add(1, std::memory_order_relaxed);
    }
    SharedRef& operator=(const SharedRef& o) noexcept {
        SharedRef tmp(o);
        swap(tmp);
        return *this;
    }
    SharedRef(SharedRef&& o) noexcept
        : box_(std::exchange(o.box_, nullptr)), obj_(std::exchange(o.obj_, nullptr)) {}
    SharedRef& operator=(SharedRef&& o) noexcept {
        SharedRef tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~SharedRef() { reset(); }

    void reset() noexcept {
        PyObject* obj = std::exchange(obj_, nullptr);
        Count* c = std::exchange(box_, nullptr);
        if (c && c->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            if (obj && interpreter_hooks.release) interpreter_hooks.release(obj);
            free_count(c);
        }
    }
    void swap(SharedRef& o) noexcept {
        std::swap(box_, o.box_);
        std::swap(obj_, o.obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return box_ != nullptr; }

private:
    using Count = std::atomic<uint32_t>;
    // A count of 1 from the pool, and its return there.
    static Count* new_count();
    static void free_count(Count* c) noexcept;

    Count* box_ = nullptr;  // shared by every handle of one reference
    PyObject* obj_ = nullptr;
};

// Counts taken from the pool ahead by a thread about to make many handles
// (a batch's new keys): while the scope lives, handles made on this thread
// take them without the pool's lock, one lock for the lot instead of one
// each; what is left goes back when the scope ends.  An inner scope on a
// thread that has one already does nothing.
class CountReserve {
public:
    static constexpr size_t kMax = 512;
    explicit CountReserve(size_t n) noexcept;
    ~CountReserve();
    CountReserve(const CountReserve&) = delete;
    CountReserve& operator=(const CountReserve&) = delete;

    // A count of 1 from the reserve of this thread, or null when it has
    // none left.
    static std::atomic<uint32_t>* take() noexcept;

private:
    void* cells_[kMax];
    size_t left_ = 0;
    bool active_ = false;
};

// What `validate_count_pool` found in the pool of counts.
struct CountPoolCensus {
    // False where counts come from the heap instead (builds checked by the
    // address sanitizer): then there is nothing to count.
    bool pooled = false;
    size_t chunks = 0;
    size_t slabs = 0;  // slabs in use
    size_t live = 0;   // counts handed out and not given back
};

// Check every invariant of the pool of counts, under its lock: the chains
// of chunks and of slabs with room, each chunk's empty slabs, each slab's
// free cells and tallies.  Throws InternalFailure naming the first
// violation.
CountPoolCensus validate_count_pool();

// A counted handle to an equality class; copies and drops work on any
// thread.  Dropping the last handle gives the class back to the binding.
class ClassRef {
public:
    ClassRef() noexcept = default;
    // Adopts one count the caller has taken on `cls`.
    ClassRef(adopt_t, EqualityClass* cls) noexcept : cls_(cls) {}

    ClassRef(const ClassRef& o) noexcept : cls_(o.cls_) {
        if (cls_) cls_->count.fetch_add(1, std::memory_order_relaxed);
    }
    ClassRef& operator=(const ClassRef& o) noexcept {
        ClassRef tmp(o);
        std::swap(cls_, tmp.cls_);
        return *this;
    }
    ClassRef(ClassRef&& o) noexcept : cls_(std::exchange(o.cls_, nullptr)) {}
    ClassRef& operator=(ClassRef&& o) noexcept {
        ClassRef tmp(std::move(o));
        std::swap(cls_, tmp.cls_);
        return *this;
    }
    ~ClassRef() { reset(); }

    void reset() noexcept {
        EqualityClass* c = std::exchange(cls_, nullptr);
        if (c && c->count.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
            interpreter_hooks.drop_class)
            interpreter_hooks.drop_class(c);
    }

    EqualityClass* get() const noexcept { return cls_; }

private:
    EqualityClass* cls_ = nullptr;
};

}  // namespace corvane
