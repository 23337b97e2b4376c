// Interned attribute names.
//
// Every object stores its attribute names, and most objects of a program
// carry the same few: an `AttrName` is a pointer to the one record of its
// text, kept in a process-wide table, so that an object pays one word per
// name and two names compare by address.  Records are never freed: a
// program uses few distinct names, and a handle is then free to copy on any
// thread.
//
// A record also keeps a slot for the binding: the interpreter's own object
// for the name, which lets a lookup by that object compare addresses before
// it compares texts.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

// The interpreter's object type, declared the way its own headers declare it.
typedef struct _object PyObject;

namespace corvane {

class AttrName {
public:
    struct Record {
        std::string text;
        // Set once by the binding (a reference it keeps for good); null until then.
        std::atomic<PyObject*> object{nullptr};
    };

    // The empty name.
    AttrName() noexcept;
    // The handle of `text`, its record created on first use.  Thread-safe.
    static AttrName intern(std::string_view text);

    const std::string& str() const noexcept { return rec_->text; }
    std::string_view view() const noexcept { return rec_->text; }
    Record& record() const noexcept { return *rec_; }

    friend bool operator==(AttrName a, AttrName b) noexcept { return a.rec_ == b.rec_; }

private:
    explicit AttrName(Record* rec) noexcept : rec_(rec) {}
    Record* rec_;
};

}  // namespace corvane
