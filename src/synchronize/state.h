// What the locking module keeps for itself: one per module object, in a
// capsule made by its body. Version tags are per interpreter, so the read
// caches live here and are never shared between interpreters.
#pragma once

#include "python_objects/calls.h"
#include "python_objects/compat.h"
#include "python_objects/ref.h"

#include <cstdint>
#include <utility>

namespace synchronize {

// Types found to read certain attributes plainly from the instance dict,
// each with the version tag it had then: any later change to the type or its
// bases changes the tag and so drops the entry. Holds no reference: a type
// freed and another made at its address has another tag. Where tags can
// repeat, a type of its own that no other code reads (`epoch`) loses its tag
// with all the others, and the entries are then dropped.
class TypeCache {
public:
    bool contains(PyTypeObject* type) noexcept {
        if (python_objects::compat::version_tags_repeat && !python_objects::compat::type_version_tag_valid(epoch()))
            return renew();
        const Entry& entry = entries_[slot(type)];
        return entry.type == type && python_objects::compat::type_version_tag_is(type, entry.tag);
    }
    void add(PyTypeObject* type, unsigned int tag) noexcept { entries_[slot(type)] = {type, tag}; }
    void set_epoch(python_objects::Ref epoch) noexcept { epoch_ = std::move(epoch); }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
    };
    static constexpr std::uintptr_t size = 8;
    static std::uintptr_t slot(PyTypeObject* type) noexcept {
        return (reinterpret_cast<std::uintptr_t>(type) >> 6) & (size - 1);
    }
    PyTypeObject* epoch() const noexcept { return reinterpret_cast<PyTypeObject*>(epoch_.get()); }
    // Every tag was invalidated at once: forget all, and tag the epoch again.
    [[gnu::cold, gnu::noinline]] bool renew() noexcept {
        for (Entry& entry : entries_) entry = Entry{};
        _PyType_Lookup(epoch(), python_objects::name_dunder_name);
        return false;
    }
    Entry entries_[size];
    python_objects::Ref epoch_;
};

struct State {
    // Taken only while a missing lock is created, so that all first callers of
    // one object end up with one lock. A Python lock, made again in a forked
    // child: a thread that held it there does not exist in the child.
    python_objects::Ref creation_guard;
    python_objects::Ref guard_factory;  // _thread.RLock

    // Objects whose `__lock__` is read from the instance dict alone.
    TypeCache lock_owners;
    // Locks whose `acquire` and `release` are read from the instance dict alone.
    TypeCache locks;
    // The C methods of the fork context's semaphore, found on first sight.
    const PyMethodDef* semaphore_acquire = nullptr;
    const PyMethodDef* semaphore_release = nullptr;
    // (False,): the arguments of a non-blocking acquire taking a tuple.
    python_objects::Ref arguments_nonblocking;
};

// Makes the state, in a capsule, and has it reset after fork.
python_objects::Ref make_state(PyObject* globals);
// The state in a capsule that make_state() returned.
State& state_in_capsule(PyObject* capsule);

}  // namespace synchronize
