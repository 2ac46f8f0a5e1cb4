#include "locked.h"

#include "names.h"
#include "python_objects/calls.h"
#include "state.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace synchronize {
namespace {

using namespace python_objects;

enum class MissingLock { create, fail };

// ---- Reading attributes through the type caches --------------------------

// Whether reading `names` from an instance of `type` is a plain instance-dict
// read: the generic attribute lookup and no class attribute of those names (no
// descriptor, no class-level value). Remembered under the type's version tag.
[[gnu::noinline]] bool check_plain_reads(TypeCache& cache, PyTypeObject* type,
                                         std::initializer_list<PyObject*> names) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (PyObject* name : names)
        if (compat::type_has_attribute(type, name)) return false;
    if (const unsigned int tag = compat::type_version_tag(type)) cache.add(type, tag);
    return true;
}

// The instance dict of `object`, or nullptr when it has none (yet).
inline PyObject* instance_dict(PyObject* object) {
    PyObject** pointer = compat::dict_pointer(object);
    return pointer != nullptr ? *pointer : nullptr;
}

// dict[name], borrowed, or nullptr when missing or when the lookup failed (a
// key of another type compared with it raised): the generic read that follows
// then decides, as it would have without the cache.
inline PyObject* dict_item(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

// lock.<name> by the generic read, or from the instance dict once the type is
// known to read it from there; a new reference kept in `owner`.
[[gnu::noinline]] PyObject* read_lock_method(State& state, PyObject* lock, PyObject* name, Ref& owner) {
    PyTypeObject* type = Py_TYPE(lock);
    if (check_plain_reads(state.locks, type, {name_acquire, name_release})) {
        if (PyObject* dict = instance_dict(lock)) {
            if (PyObject* method = dict_item(dict, name)) return method;
        }
    }
    owner = get_attr(lock, name);
    return owner.get();
}

// The `acquire` and `release` of the lock whose instance dict was read last,
// borrowed from that dict and used while it is unchanged: one check in place
// of two dict lookups per call. One per process, as the module is.
struct KnownLockMethods {
    PyObject* dict = nullptr;  // nullptr: nothing known
    std::uint64_t version = 0;
    PyObject* acquire = nullptr;
    PyObject* release = nullptr;
    bool semaphore = false;    // both are the semaphore's C methods, called directly
    int watcher = -1;          // from 3.12; -1 before it is added or when none was left
    std::uint64_t events = 0;  // from 3.12: events seen on watched dicts
};
KnownLockMethods known_lock_methods;

void forget_lock_methods(PyObject* dict) {
    ++known_lock_methods.events;
    if (known_lock_methods.dict == dict) known_lock_methods.dict = nullptr;
}

inline bool lock_methods_known(PyObject* dict) {
    return compat::dict_read_cache && known_lock_methods.dict == dict &&
           (compat::dict_changes_are_watched || compat::dict_version(dict) == known_lock_methods.version);
}

bool semaphore_methods(State& state, PyObject* acquire, PyObject* release);

// Whether `watcher` hears of an attribute stored on an object whose dict has
// been made, as a lock's has: 3.13.0 stores it in the object's inline values
// and tells no watcher, and a cache trusting them would keep calling a
// `release` that the lock no longer has.
bool watcher_hears_attribute_stores(int watcher) {
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref type = check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sO{}", "_WatchProbe", bases.get()));
    Ref probe = call(type.get());
    set_attr(probe.get(), name_release, Py_None);
    Ref dict = check(PyObject_GenericGetDict(probe.get(), nullptr));
    compat::watch_dict(watcher, dict.get());
    const std::uint64_t events = known_lock_methods.events;
    set_attr(probe.get(), name_release, Py_False);
    const bool heard = known_lock_methods.events != events;
    compat::unwatch_dict(watcher, dict.get());
    return heard;
}

// Remembers the methods in `dict`, the instance dict of a lock whose type
// reads them from there, unless the lookups changed it (a key of another
// type may run Python code when compared).
[[gnu::noinline]] void remember_lock_methods(State& state, PyObject* dict) {
    if (!compat::dict_read_cache) return;
    KnownLockMethods& known = known_lock_methods;
    if (compat::dict_changes_are_watched) {
        if (known.watcher < 0) return;  // none, or not to be trusted (see prepare_lock_method_cache)
        compat::watch_dict(known.watcher, dict);
    }
    known.dict = nullptr;
    const std::uint64_t version = compat::dict_version(dict), events = known.events;
    PyObject* acquire = dict_item(dict, name_acquire);
    PyObject* release = acquire != nullptr ? dict_item(dict, name_release) : nullptr;
    if (release == nullptr || compat::dict_version(dict) != version || known.events != events) return;
    known.dict = dict;
    known.version = version;
    known.acquire = acquire;
    known.release = release;
    known.semaphore = semaphore_methods(state, acquire, release);  // runs no Python code
}

// Where one locked call found its lock's methods: the release reads the dict
// pointer of the same lock object (held meanwhile) where the acquire found it,
// while the lock keeps its type.
struct LockMethodsSeen {
    PyTypeObject* type = nullptr;  // of the lock, when its dict pointer was found
    PyObject** dict_slot = nullptr;
    bool semaphore = false;        // the method read last is the semaphore's, called directly
};

// A method of the lock, read as `lock.<name>` would: borrowed from the lock's
// instance dict when its type is known to read it from there (reading the
// dict of the lock, unlike that of the user's object, costs nothing later).
template <bool is_acquire>
[[gnu::always_inline]] inline PyObject* lock_method(State& state, PyObject* lock, Ref& owner, LockMethodsSeen& seen) {
    PyObject* name = is_acquire ? name_acquire : name_release;
    PyTypeObject* type = Py_TYPE(lock);
    seen.semaphore = false;
    if (state.locks.contains(type)) {
        if (is_acquire || seen.type != type) seen = {type, compat::dict_pointer(lock), false};
        if (PyObject* dict = seen.dict_slot != nullptr ? *seen.dict_slot : nullptr) {
            if (!lock_methods_known(dict)) remember_lock_methods(state, dict);
            if (lock_methods_known(dict)) {
                seen.semaphore = known_lock_methods.semaphore;
                return is_acquire ? known_lock_methods.acquire : known_lock_methods.release;
            }
            if (PyObject* method = dict_item(dict, name)) return method;
        }
    }
    return read_lock_method(state, lock, name, owner);
}

// ---- The semaphore's own C methods ------------------------------------------

// The fork context's locks bind `acquire` and `release` straight to the C
// methods of their semaphore. Those are called here as the call machinery
// would, checking their calling convention each time; `acquire` gets `block`
// positionally, its first parameter, so that no keyword dict is needed. They
// run no Python code, so a method borrowed from the lock's dict stays valid.

// Whether `method` is one that the C type _multiprocessing.SemLock defines,
// found in the MRO of `owner`'s type without running Python code. A Python
// class can take that name, but it defines no C methods.
bool defined_by_semaphore(PyObject* owner, const PyMethodDef* method) {
    PyObject* mro = Py_TYPE(owner)->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        const PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (type->tp_methods == nullptr || std::strcmp(type->tp_name, "_multiprocessing.SemLock") != 0) continue;
        for (const PyMethodDef* entry = type->tp_methods; entry->ml_name != nullptr; ++entry)
            if (entry == method) return true;
    }
    return false;
}

[[gnu::noinline]] bool find_semaphore_method(std::atomic<const PyMethodDef*>& known, PyObject* callable,
                                             const char* name) {
    if (known.load(std::memory_order_relaxed) != nullptr || !PyCFunction_Check(callable)) return false;
    const PyMethodDef* method = compat::c_method_definition(callable);
    PyObject* owner = PyCFunction_GET_SELF(callable);
    if (owner == nullptr || std::strcmp(method->ml_name, name) != 0 || !defined_by_semaphore(owner, method))
        return false;
    known.store(method, std::memory_order_relaxed);
    return true;
}

inline bool is_semaphore_method(std::atomic<const PyMethodDef*>& known, PyObject* callable, const char* name) {
    const PyMethodDef* method = known.load(std::memory_order_relaxed);
    if (method != nullptr && PyCFunction_Check(callable) && compat::c_method_definition(callable) == method)
        return true;
    return find_semaphore_method(known, callable, name);
}

// Whether the release takes no arguments, as called directly below.
inline bool is_semaphore_release(State& state, PyObject* release) {
    return is_semaphore_method(state.semaphore_release, release, "release") &&
           compat::c_method_definition(release)->ml_flags == METH_NOARGS;
}

// Whether a lock's pair of methods can both be called directly, whatever the
// lock's dict holds besides, for as long as it holds these two.
bool semaphore_methods(State& state, PyObject* acquire, PyObject* release) {
    return is_semaphore_method(state.semaphore_acquire, acquire, "acquire") &&
           compat::calls_c_method_with_false(acquire) && is_semaphore_release(state, release);
}

// acquire(False), as a new reference or nullptr with an error set. The
// blocking flag goes by position, the one way that the thread locks of the
// standard library and the fork context's locks both accept.
[[gnu::always_inline]] inline PyObject* try_acquire(State& state, PyObject* acquire, bool semaphore) {
    if (semaphore || is_semaphore_method(state.semaphore_acquire, acquire, "acquire")) {
        if (PyObject* taken = compat::call_c_method_with_false(acquire, state.arguments_nonblocking.get()))
            return taken;
        if (PyErr_Occurred()) return nullptr;
    }
    Ref held = Ref::borrow(acquire);  // the call may remove it from the lock's dict
    PyObject* arguments[] = {nullptr, Py_False};
    return compat::vectorcall(acquire, arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Recursion depth granted to a release written in Python, so that it gets
// through at the recursion limit as the semaphore's C release always does: a
// lock left held after a RecursionError would block every other thread.
constexpr int release_headroom = 50;
thread_local bool granting_release_headroom = false;

// release(), as a new reference or nullptr with an error set.
[[gnu::always_inline]] inline PyObject* call_release(State& state, PyObject* release, bool semaphore = false) {
    if (semaphore || is_semaphore_release(state, release))
        return compat::c_method_function<PyCFunction>(release)(PyCFunction_GET_SELF(release), nullptr);
    Ref held = Ref::borrow(release);  // the call may remove it from the lock's dict
    return compat::vectorcall(release, nullptr, 0, nullptr);
}

// Once per thread at a time (a release that makes locked calls gets no more),
// and taken back by hand: a thread that the interpreter ends has no state left.
[[gnu::noinline]] PyObject* call_release_with_headroom(State& state, PyObject* release) {
    PyThreadState* thread = PyThreadState_Get();
    granting_release_headroom = true;
    compat::grant_recursion_depth(thread, release_headroom);
    PyObject* result = call_release(state, release);
    compat::grant_recursion_depth(thread, -release_headroom);
    granting_release_headroom = false;
    return result;
}

[[gnu::always_inline]] inline void release(State& state, PyObject* lock, LockMethodsSeen& seen) {
    Ref owner;
    PyObject* method = lock_method<false>(state, lock, owner, seen);
    if (seen.semaphore || PyCFunction_Check(method) || granting_release_headroom)
        check(call_release(state, method, seen.semaphore));
    else
        check(call_release_with_headroom(state, method));
}

// A missing lock is made by the first caller alone: a `__setattr__` or
// `__getattribute__` written in Python may let other threads run between the
// re-check and the assignment, and all first callers of one object must end
// up with one lock. The others wait for that object only: no Python code runs
// under anything that a first call on another object needs.
[[gnu::cold, gnu::noinline]] void create_lock(State& state, PyObject* globals, PyObject* self) {
    Ref busy = call(state.guard_factory.get());
    call_method(busy.get(), name_acquire);
    bool outermost = false;
    for (;;) {
        Ref other = state.creations.claim(self, busy, outermost);
        if (!other) break;
        // Another thread is making it: once it is done, look again.
        call_method(other.get(), name_acquire);
        call_method(other.get(), name_release);
        PyObject* existing = nullptr;
        if (compat::get_optional_attr(self, name_lock_attr, &existing) > 0) {
            Py_DECREF(existing);
            call_method(busy.get(), name_release);
            return;
        }
        PyErr_Clear();  // it failed there: this thread tries
    }
    auto finish = [&] {
        if (outermost) state.creations.end(self);
        call_method(busy.get(), name_release);
    };
    bool failed = false;
    try {
        PyObject* existing = nullptr;
        if (compat::get_optional_attr(self, name_lock_attr, &existing) > 0) {
            Py_DECREF(existing);
        } else {
            PyErr_Clear();  // whatever made the read fail, the object gets a lock
            Ref multiprocessing = lookup_global(globals, global_multiprocessing);
            Ref lock = call_method(multiprocessing.get(), name_rlock);
            set_attr(self, name_lock_attr, lock.get());
        }
    } catch (const PythonError&) {
        failed = true;
    }
    if (failed) clean_up_and_reraise(finish);
    finish();
}

// The objects whose str() this thread is computing for a warning, innermost
// first: a `__str__` that makes a contended locked call on the same object
// would otherwise recurse without end.
struct Describing {
    PyObject* object;
    const Describing* outer;
};
thread_local const Describing* being_described = nullptr;

// str(self) for the warning; object.__repr__(self) when str() fails or re-enters.
Ref describe(PyObject* self) {
    for (const Describing* entry = being_described; entry != nullptr; entry = entry->outer)
        if (entry->object == self) return check(PyBaseObject_Type.tp_repr(self));
    const Describing entry{self, being_described};
    being_described = &entry;
    PyObject* text = PyObject_Str(self);
    being_described = entry.outer;
    if (text != nullptr) return Ref::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
    return check(PyBaseObject_Type.tp_repr(self));
}

// Whether `logger` would emit a WARNING; a stand-in without isEnabledFor always does.
bool warnings_enabled(PyObject* logger) {
    PyObject* is_enabled_for = nullptr;
    if (check_status(compat::get_optional_attr(logger, name_is_enabled_for, &is_enabled_for)) == 0) return true;
    Ref method = Ref::steal(is_enabled_for);
    Ref level = check(PyLong_FromLong(30));  // logging.WARNING
    return is_true(call(method.get(), level.get()).get());
}

// Contended path: say whom we wait for, then wait without a time limit.
// Returns the lock it waited for.
[[gnu::cold, gnu::noinline]] Ref wait_for_lock(PyObject* globals, PyObject* self) {
    Ref logger = lookup_global(globals, global_logger);
    if (warnings_enabled(logger.get())) {
        Ref text = describe(self);
        Ref message = check(PyUnicode_Format(text_waiting_for_lock, text.get()));
        call_method(logger.get(), name_warning, message.get());
    }
    Ref lock = get_attr(self, name_lock_attr);
    call_method(lock.get(), name_acquire);
    return lock;
}

// The method raised: release as a `finally` block would, with the method's
// exception handled meanwhile, so that a failing release chains onto it.
[[gnu::cold, gnu::noinline]] void release_after_failure(State& state, PyObject* lock, LockMethodsSeen& seen) {
    clean_up_and_reraise([&] { release(state, lock, seen); });
}

// Only the method call counts against the recursion limit, so that the
// release after a RecursionError, made one level further out, still gets
// through. From 3.12 the interpreter checks it on entering a Python function's
// frame; other callables (another wrapper, say) are checked here.
inline PyObject* call_wrapped(PyObject* method, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const bool python_function = PyFunction_Check(method);
    if (compat::eval_counts_recursion && python_function)
        return compat::function_vectorcall(method)(method, args, nargsf, kwnames);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = python_function ? compat::function_vectorcall(method)(method, args, nargsf, kwnames)
                                       : compat::vectorcall(method, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// The lock to acquire. The existence test's read of `self.__lock__` stands
// for the acquire's read when a second read would give the same object; then,
// with the type cached, it is a read of the instance dict where that has no
// side effect on the object.
template <MissingLock missing>
[[gnu::always_inline]] inline Ref lock_to_acquire(State& state, PyObject* globals, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const bool plain = state.lock_owners.contains(type) || check_plain_reads(state.lock_owners, type, {name_lock_attr});
    if (compat::dict_pointer_is_harmless && plain) {
        if (PyObject* dict = instance_dict(self)) {
            if (PyObject* lock = dict_item(dict, name_lock_attr)) return Ref::borrow(lock);
        }
    }
    if constexpr (missing == MissingLock::create) {
        PyObject* lock = nullptr;
        const int found = plain ? compat::generic_get_optional_attr(self, name_lock_attr, &lock)
                                : compat::get_optional_attr(self, name_lock_attr, &lock);
        if (found > 0) {
            Ref existing = Ref::steal(lock);
            if (plain) return existing;
        } else {
            PyErr_Clear();  // whatever made the read fail, the object gets a lock
            create_lock(state, globals, self);
        }
    } else if (plain) {
        PyObject* lock = nullptr;
        if (compat::generic_get_optional_attr(self, name_lock_attr, &lock) > 0) return Ref::steal(lock);
        throw_if_error_set();  // missing: the read below raises as Python would
    }
    return get_attr(self, name_lock_attr);
}

// What a wrapper holds as `wrapped`: the pair (method, module state capsule),
// made by decorate(), never seen by Python code and never changed, so that a
// call finds both without a lookup.
PyObject* wrapped_method(Function& wrapper) { return PyTuple_GET_ITEM(wrapper.wrapped, 0); }
State& wrapper_state(Function& wrapper) { return state_in_capsule(PyTuple_GET_ITEM(wrapper.wrapped, 1)); }

// One locked call; args[0] is self and the arguments are the method's as given.
// The release goes to the lock acquired, whatever the method did to `__lock__`.
template <MissingLock missing>
[[gnu::always_inline]] inline Ref locked_call(Function& wrapper, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = args[0];
    State& state = wrapper_state(wrapper);
    PyObject* method = wrapped_method(wrapper);  // the caller keeps the wrapper, and so the pair, alive
    Ref lock = lock_to_acquire<missing>(state, wrapper.globals, self);
    LockMethodsSeen seen;
    {
        Ref owner;
        PyObject* acquire = lock_method<true>(state, lock.get(), owner, seen);
        Ref taken = check(try_acquire(state, acquire, seen.semaphore));
        if (taken.get() != Py_True && (taken.get() == Py_False || !is_true(taken.get()))) {
            lock = Ref();
            lock = wait_for_lock(wrapper.globals, self);
            seen = LockMethodsSeen();
        }
    }
    PyObject* result = call_wrapped(method, args, nargsf, kwnames);
    if (result == nullptr) release_after_failure(state, lock.get(), seen);
    Ref owned = Ref::steal(result);
    release(state, lock.get(), seen);
    return owned;
}

Py_ssize_t find_self_keyword(PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (keyword == name_self || PyUnicode_CompareWithASCIIString(keyword, "self") == 0) return i;
    }
    return -1;
}

// `self` given by keyword, or taken from __defaults__ as a Python function
// takes it: move it to the front and call as usual.
template <MissingLock missing>
[[gnu::noinline]] Ref call_with_other_self(Function& wrapper, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    const Py_ssize_t self_index = kwnames != nullptr ? find_self_keyword(kwnames) : -1;
    if (self_index >= 0 && nargs > 0) raise_multiple_values(wrapper, name_self);
    const Ref defaults = Ref::borrow(wrapper.defaults);  // held: the call may replace them
    if (self_index < 0 && (!defaults || PyTuple_GET_SIZE(defaults.get()) == 0))
        raise_missing_arguments(wrapper, "positional", {"self"});
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> reordered;
    reordered.reserve(static_cast<size_t>(keyword_count) + 2);
    reordered.push_back(nullptr);  // spare slot for PY_VECTORCALL_ARGUMENTS_OFFSET
    PyObject* const* keyword_values = args + nargs;
    if (self_index < 0) {
        reordered.push_back(PyTuple_GET_ITEM(defaults.get(), PyTuple_GET_SIZE(defaults.get()) - 1));
        reordered.insert(reordered.end(), keyword_values, keyword_values + keyword_count);
        return locked_call<missing>(wrapper, reordered.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    reordered.push_back(keyword_values[self_index]);
    Ref other_names = check(PyTuple_New(keyword_count - 1));
    for (Py_ssize_t i = 0, out = 0; i < keyword_count; ++i) {
        if (i == self_index) continue;
        reordered.push_back(keyword_values[i]);
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        Py_INCREF(keyword);
        PyTuple_SET_ITEM(other_names.get(), out++, keyword);
    }
    return locked_call<missing>(wrapper, reordered.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                keyword_count > 1 ? other_names.get() : nullptr);
}

// The wrapper binds (self, *args, **kwargs) itself: with self given by
// position the caller's argument array goes to the method unchanged.
template <MissingLock missing>
PyObject* call_wrapper(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function& wrapper = as_function(callable);
    return entry_point(wrapper.spec->qualname, [&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (!compat::keyword_names_are_strings) check_keyword_names(wrapper, kwnames);
        if (nargs == 0 || (kwnames != nullptr && find_self_keyword(kwnames) >= 0))
            return call_with_other_self<missing>(wrapper, args, nargs, kwnames);
        return locked_call<missing>(wrapper, args, nargsf, kwnames);
    });
}

constexpr Signature wrapper_parameters = signature({"self"}, {}, "args", "kwargs");

const FunctionSpec locked_wrapper_spec{
    "_wrapped", "locked.<locals>._wrapped", nullptr, wrapper_parameters, nullptr, call_wrapper<MissingLock::create>,
};

const FunctionSpec lockable_wrapper_spec{
    "_wrapped", "Lockable.locked.<locals>._wrapped", nullptr, wrapper_parameters, nullptr,
    call_wrapper<MissingLock::fail>,
};

// functools.wraps(method) first, then the wrapper, then the one through the other.
Ref decorate(Function& decorator, PyObject* method, const FunctionSpec& wrapper_spec) {
    Ref functools = lookup_global(decorator.globals, global_functools);
    Ref wraps = get_attr(functools.get(), name_wraps);
    Ref update_wrapper = call(wraps.get(), method);
    Ref pair = check(PyTuple_Pack(2, method, decorator.wrapped));  // a decorator holds the module state
    FunctionOptions options;
    options.wrapped = pair.get();
    Ref wrapper = make_function(wrapper_spec, decorator.globals, options);
    return call(update_wrapper.get(), wrapper.get());
}

Ref locked_body(Function& decorator, Arguments& arguments) {
    return decorate(decorator, arguments[0], locked_wrapper_spec);
}

Ref lockable_locked_body(Function& decorator, Arguments& arguments) {
    return decorate(decorator, arguments[0], lockable_wrapper_spec);
}

}  // namespace

void prepare_lock_method_cache() {
    KnownLockMethods& known = known_lock_methods;
    if (!compat::dict_read_cache || !compat::dict_changes_are_watched || known.watcher != -1) return;
    const int watcher = compat::add_dict_watcher(forget_lock_methods);
    if (watcher < 0) return;
    const bool trusted = undo_on_error([&] { return watcher_hears_attribute_stores(watcher); },
                                       [&]() noexcept { compat::clear_dict_watcher(watcher); });
    if (!trusted) compat::clear_dict_watcher(watcher);
    known.watcher = trusted ? watcher : -2;
}

const FunctionSpec locked_spec{
    "locked",
    "locked",
    "lock decorator\n"
    "\n"
    "Generic decorator that adds locking to a class method, so that the class can\n"
    "be locked and unlocked across forked processes (multiprocessing) and threads.\n"
    "\n"
    ":param method: the method to wrap\n"
    ":return: the new wrapped method, which takes an RLock by itself\n"
    "\n"
    "Note: it works by adding the attribute ``__lock__`` to the instance and using\n"
    "the multiprocessing recursive lock (RLock). The lock must therefore be created\n"
    "in the main process (by calling a locked method or the like) before forking:\n"
    "a ``__lock__`` first created in a child process breaks the mechanism.",
    signature({"method"}),
    locked_body,
};

const FunctionSpec lockable_locked_spec{
    "locked",
    "Lockable.locked",
    "locked decorator\n"
    "\n"
    "Meant only for Lockable and its subclasses. It does the same as the generic\n"
    "decorator ``locked`` but needs no test for whether the lock exists, since a\n"
    "Lockable has its lock from construction on.\n"
    "\n"
    ":param method: the method to wrap\n"
    ":return: the new wrapped method, which takes the lock by itself",
    signature({"method"}),
    lockable_locked_body,
};

}  // namespace synchronize
