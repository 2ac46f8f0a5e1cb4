#include "locked.h"

#include "names.h"
#include "python_objects/calls.h"
#include "state.h"

#include <cstring>
#include <vector>

namespace synchronize {
namespace {

using namespace python_objects;

enum class MissingLock { create, fail };

// Reading `__lock__` has no side effect and gives the same object twice in a
// row when the object uses the generic attribute lookup and no class attribute
// of that name exists (no descriptor, no class-level lock): then the existence
// test's read can stand for the acquire's read.
bool lock_read_is_plain(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name_lock_attr) == nullptr;
}

// The guard's own errors cannot happen while it is held by this thread; a
// pending error of the creation is kept across its release.
void release_guard(PyObject* guard) {
    Ref pending = Ref::steal(compat::fetch_raised_exception());
    call_method(guard, name_release);
    if (pending) compat::restore_raised_exception(pending.release());
}

// A missing lock is made under the module's guard: a `__setattr__` or
// `__getattribute__` written in Python may let other threads run between the
// re-check and the assignment, and all first callers must share one lock.
[[gnu::cold, gnu::noinline]] void create_lock(PyObject* globals, PyObject* self) {
    Ref guard = state_of(globals).creation_guard;  // a fork handler may replace it meanwhile
    call_method(guard.get(), name_acquire);
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
        release_guard(guard.get());
        throw;
    }
    release_guard(guard.get());
}

// The existence test; the first locked call on an object gives it a fork-context
// RLock. Returns the lock when its read may stand for the acquire's read.
Ref ensure_lock(PyObject* globals, PyObject* self) {
    PyObject* existing = nullptr;
    if (compat::get_optional_attr(self, name_lock_attr, &existing) > 0) {
        Ref lock = Ref::steal(existing);
        return lock_read_is_plain(self) ? lock : Ref();
    }
    PyErr_Clear();
    create_lock(globals, self);
    return Ref();
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

// The fork context's locks bind `acquire` straight to the C method of their
// semaphore, which takes `block` as its first positional parameter as well.
// Called positionally it needs no keyword dict, and no caller can tell.
const PyMethodDef* semaphore_acquire = nullptr;  // found on first sight

bool is_semaphore_acquire(PyObject* acquire) {
    if (!PyCFunction_Check(acquire)) return false;
    const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(acquire)->m_ml;
    if (method == semaphore_acquire) return true;
    PyObject* owner = PyCFunction_GET_SELF(acquire);
    if (semaphore_acquire != nullptr || owner == nullptr || std::strcmp(method->ml_name, "acquire") != 0 ||
        std::strcmp(Py_TYPE(owner)->tp_name, "_multiprocessing.SemLock") != 0)
        return false;
    semaphore_acquire = method;
    return true;
}

// Where the method takes an argument tuple (3.8 and 3.9), hand it a ready-made
// (False,) instead of having the call machinery build one per call.
Ref call_semaphore_acquire(PyObject* acquire) {
    const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(acquire)->m_ml;
    if (method->ml_flags == (METH_VARARGS | METH_KEYWORDS)) {
        auto function = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(method->ml_meth));
        return check(function(PyCFunction_GET_SELF(acquire), arguments_nonblocking, nullptr));
    }
    return call(acquire, Py_False);
}

Ref try_acquire(PyObject* acquire) {
    if (is_semaphore_acquire(acquire)) return call_semaphore_acquire(acquire);
    return call_with_keywords(acquire, keywords_block, Py_False);
}

// `lock` is the value of `self.__lock__` when it was just read, else empty.
// Returns the lock now held.
Ref acquire_lock(PyObject* globals, PyObject* self, Ref lock) {
    if (!lock) lock = get_attr(self, name_lock_attr);
    bool taken;
    {
        Ref acquire = get_attr(lock.get(), name_acquire);
        Ref result = try_acquire(acquire.get());
        taken = is_true(result.get());
    }
    if (taken) return lock;
    lock = Ref();
    return wait_for_lock(globals, self);
}

// The method raised: release as a `finally` block would, with the method's
// exception handled meanwhile, so that a failing release chains onto it.
[[gnu::cold, gnu::noinline]] void release_after_failure(PyObject* lock) {
    Ref failure = Ref::steal(compat::fetch_raised_exception());
    {
        HandlingException handling(failure.get());
        call_method(lock, name_release);
    }
    compat::restore_raised_exception(failure.release());
    throw PythonError{};
}

// Only the method call counts against the recursion limit, so that the release
// after a RecursionError, made one level further out, still gets through.
PyObject* call_method_counted(PyObject* method, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = compat::vectorcall(method, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// One locked call; args[0] is self and the arguments are the method's as given.
// The release goes to the lock acquired, whatever the method did to `__lock__`.
template <MissingLock missing>
Ref locked_call(Function& wrapper, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = args[0];
    Ref method = Ref::borrow(wrapper.wrapped);
    Ref lock;
    if constexpr (missing == MissingLock::create) lock = ensure_lock(wrapper.globals, self);
    lock = acquire_lock(wrapper.globals, self, std::move(lock));
    PyObject* result = call_method_counted(method.get(), args, nargsf, kwnames);
    if (result == nullptr) release_after_failure(lock.get());
    Ref owned = Ref::steal(result);
    call_method(lock.get(), name_release);
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

// `self` given by keyword: move it to the front and call as usual.
template <MissingLock missing>
[[gnu::noinline]] Ref call_with_keyword_self(Function& wrapper, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    if (nargs > 0) raise_multiple_values(wrapper, name_self);
    const Py_ssize_t self_index = find_self_keyword(kwnames);
    if (self_index < 0) raise_missing_arguments(wrapper, "positional", {"self"});
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> reordered;
    reordered.reserve(static_cast<size_t>(keyword_count) + 1);
    reordered.push_back(nullptr);  // spare slot for PY_VECTORCALL_ARGUMENTS_OFFSET
    PyObject* const* keyword_values = args + nargs;
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
PyObject* call_wrapper(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function& wrapper = as_function(callable);
    return entry_point([&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames != nullptr && (nargs == 0 || find_self_keyword(kwnames) >= 0))
            return call_with_keyword_self<missing>(wrapper, args, nargs, kwnames);
        if (nargs == 0) raise_missing_arguments(wrapper, "positional", {"self"});
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
    FunctionOptions options;
    options.wrapped = method;
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
