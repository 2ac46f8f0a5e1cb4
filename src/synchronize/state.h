// What the locking module keeps for itself: one per module object, in a
// capsule made by its body. Version tags are per interpreter, so the read
// caches live here and are never shared between interpreters.
#pragma once

#include "python_objects/calls.h"
#include "python_objects/compat.h"
#include "python_objects/ref.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>
#include <utility>

namespace synchronize {

// Types found to read certain attributes plainly from the instance dict,
// each with the version tag it had then: any later change to the type or its
// bases changes the tag and so drops the entry. Holds no reference: a type
// freed and another made at its address has another tag. Where tags can
// repeat, a type of its own (`epoch`) loses its tag with all the others, and
// the entries are then dropped; no other code can give it a tag again.
//
// Entries are read and written without a lock, also with the GIL off: each
// field is atomic, and a reader that sees the type of one entry with the tag
// of another finds no match (a tag belongs to one type only), so that at
// worst a lookup is repeated.
class TypeCache {
public:
    bool contains(PyTypeObject* type) noexcept {
        if (python_objects::compat::version_tags_repeat && !python_objects::compat::type_version_tag_valid(epoch()))
            return renew();
        const Entry& entry = entries_[slot(type)];
        return entry.type.load(std::memory_order_relaxed) == type &&
               python_objects::compat::type_version_tag_is(type, entry.tag.load(std::memory_order_relaxed));
    }
    void add(PyTypeObject* type, unsigned int tag) noexcept {
        Entry& entry = entries_[slot(type)];
        entry.type.store(type, std::memory_order_relaxed);
        entry.tag.store(tag, std::memory_order_relaxed);
    }
    void set_epoch(python_objects::Ref epoch) noexcept {
        epoch_ = std::move(epoch);
        python_objects::compat::disarm_version_guard_lookups(this->epoch());
        python_objects::compat::arm_version_guard(this->epoch(), python_objects::name_dunder_name);
    }

private:
    struct Entry {
        std::atomic<PyTypeObject*> type{nullptr};
        std::atomic<unsigned int> tag{0};
    };
    static constexpr std::uintptr_t size = 8;
    static std::uintptr_t slot(PyTypeObject* type) noexcept {
        return (reinterpret_cast<std::uintptr_t>(type) >> 6) & (size - 1);
    }
    PyTypeObject* epoch() const noexcept { return reinterpret_cast<PyTypeObject*>(epoch_.get()); }
    // Every tag was invalidated at once: forget all, and arm the epoch again.
    [[gnu::cold, gnu::noinline]] bool renew() noexcept {
        for (Entry& entry : entries_) entry.type.store(nullptr, std::memory_order_relaxed);
        python_objects::compat::arm_version_guard(epoch(), python_objects::name_dunder_name);
        return false;
    }
    Entry entries_[size];
    python_objects::Ref epoch_;
};

// The objects whose lock is being made, each by one thread, which holds a
// lock of its own meanwhile for other first callers of that object to wait on.
// Nothing here is held while Python code runs, so that first calls on
// different objects never wait on each other.
class LocksInCreation {
public:
    // Registers `object` as having its lock made by this thread, which holds
    // `busy`. Returns the busy lock of the thread already making it, or an
    // empty Ref (also when that thread is this one: a nested first call).
    python_objects::Ref claim(PyObject* object, const python_objects::Ref& busy, bool& outermost) {
        const unsigned long thread = PyThread_get_thread_ident();
        std::lock_guard<python_objects::compat::GilFreeMutex> hold(mutex_);
        for (const Creation& creation : creations_) {
            if (creation.object != object) continue;
            outermost = false;
            return creation.thread == thread ? python_objects::Ref() : creation.busy;
        }
        creations_.push_back({object, thread, busy});
        outermost = true;
        return python_objects::Ref();
    }
    // The lock of `object` is made, or its making failed.
    void end(PyObject* object) noexcept {
        python_objects::Ref busy;  // released after the mutex
        std::lock_guard<python_objects::compat::GilFreeMutex> hold(mutex_);
        for (auto it = creations_.begin(); it != creations_.end(); ++it) {
            if (it->object != object) continue;
            busy = std::move(it->busy);
            creations_.erase(it);
            return;
        }
    }
    // In a forked child: the threads that were making locks do not exist.
    void forget_all() noexcept {
        std::vector<Creation> gone;
        {
            std::lock_guard<python_objects::compat::GilFreeMutex> hold(mutex_);
            gone.swap(creations_);
        }
    }

private:
    struct Creation {
        PyObject* object;  // kept alive by its first caller
        unsigned long thread;
        python_objects::Ref busy;
    };
    python_objects::compat::GilFreeMutex mutex_;
    std::vector<Creation> creations_;
};

struct State {
    // Locks held by the threads making an object's lock, for other first
    // callers of the same object to wait on: _thread.RLock.
    python_objects::Ref guard_factory;
    LocksInCreation creations;

    // Objects whose `__lock__` is read from the instance dict alone.
    TypeCache lock_owners;
    // Locks whose `acquire` and `release` are read from the instance dict alone.
    TypeCache locks;
    // The C methods of the fork context's semaphore, found on first sight.
    std::atomic<const PyMethodDef*> semaphore_acquire{nullptr};
    std::atomic<const PyMethodDef*> semaphore_release{nullptr};
    // (False,): the arguments of a non-blocking acquire taking a tuple.
    python_objects::Ref arguments_nonblocking;
};

// Makes the state, in a capsule, and has it reset after fork.
python_objects::Ref make_state(PyObject* globals);
// The state in a capsule that make_state() returned (its context, read
// without the name check).
inline State& state_in_capsule(PyObject* capsule) { return *static_cast<State*>(PyCapsule_GetContext(capsule)); }

}  // namespace synchronize
