// The mechanics every module function repeats: global look-up, calls with
// positional and keyword arguments, print, the traceback entry, for loops,
// except blocks. A try block is a callable (a lambda, or a helper when the
// block is long) that returns -1 once it has added its entry; when it fails,
// a Handler built at once is the except block.
// Each operation takes its operands as Arg and fails (empty Ref, -1) when an
// operand is empty, so a failed sub-expression fails the whole statement.
// The look-ups without operands (global, new_dict) also do nothing while an
// exception is raised, so that several may follow one another before a
// check; any other operation must not be reached with an exception raised
// (debug builds assert it). Braced argument lists run left to right; C++
// fixes no order between a callee and its arguments, so a fallible callee
// is looked up beforehand.
#pragma once

#include "module/function.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

#include <initializer_list>
#include <utility>

namespace velka {

// A borrowed operand: a Ref (possibly empty after a failure) or a pointer.
class Arg {
public:
    Arg(const Ref& ref) noexcept : object_(ref.get()) {}
    Arg(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};
using Args = std::initializer_list<Arg>;

// The globals and built-ins that a module function reads, as a Python frame
// carries its function's: in force on the calling thread for the length of
// one call (or of the module's statements while it loads), the one it
// interrupted restored after. It holds both dicts, so nothing it reads can
// be freed under it, whatever the call does to the module or its functions.
class Frame {
public:
    Frame(PyObject* globals, PyObject* builtins) noexcept;
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    PyObject* globals() const noexcept { return globals_.get(); }
    PyObject* builtins() const noexcept { return builtins_.get(); }

private:
    Ref globals_;
    Ref builtins_;
    const Frame* back_;
};
// The frame in force on this thread, or null outside the module's code: per
// thread, as the interpreter's own frames are, so that a thread that calls
// while another is inside a call reads its own function's globals.
extern constinit thread_local const Frame* frame_in_force;
inline const Frame* current_frame() noexcept { return frame_in_force; }

// Inline, so that a call reaches the thread's frame once to put its own in
// force and to restore the one it interrupted.
inline Frame::Frame(PyObject* globals, PyObject* builtins) noexcept
    : globals_(Ref::borrow(globals)), builtins_(Ref::borrow(builtins)), back_(frame_in_force) {
    frame_in_force = this;
}

inline Frame::~Frame() { frame_in_force = back_; }

Ref none();
Ref new_dict();
// A global of the current frame, else a built-in, else NameError
// "name '...' is not defined". Looked up at every use: a caller may rebind.
Ref global(PyObject* name);
Ref attr(Arg object, PyObject* name);
Ref call(Arg callable, Args args);
// The last len(keyword_names) arguments are passed by those keywords.
Ref call_kw(Arg callable, Args args, const Ref& keyword_names);
Ref call_method(Arg object, PyObject* name, Args args = {});
Ref call_method_kw(Arg object, PyObject* name, Args args, const Ref& keyword_names);
// object.name looked up once, as a method call in Python looks it up, for a
// call whose arguments are made after the look-up: the function found on the
// type, called with `object` first, or else the attribute itself. Empty when
// the look-up failed.
class Method {
public:
    Method(Arg object, PyObject* name);
    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }
    // The last len(keyword_names) arguments are passed by those keywords.
    Ref call_kw(Args args, const Ref& keyword_names) const;

private:
    Ref callable_;
    Ref self_;  // the object, when callable_ is its type's function
};

Ref print(Args args);  // the kept built-in print
Ref str(Arg object);
Ref repr(Arg object);
Ref add(Arg left, Arg right);
Ref add_in_place(Arg left, Arg right);  // left += right
Ref compare(Arg left, Arg right, int op);
// truth(compare(left, right, op)): 1, 0, or -1 on failure.
int compares(Arg left, Arg right, int op);
// {key: value}
Ref dict_of(Arg key, Arg value);
// An f-string: format(part, "") of each part, joined.
Ref join_formatted(Args parts);
int truth(Arg object);  // 1, 0, or -1 on failure
Ref item(Arg object, Arg key);
Ref item_at(Arg sequence, Py_ssize_t index);  // sequence[index]
int set_item(Arg object, Arg key, Arg value);
Ref iterate(Arg iterable);
Ref to_list(Arg iterable);  // list(iterable)
// One step of a for loop: 1 with `item` set, 0 at the end, -1 on failure.
int next(Arg iterator, Ref& item);
// `first, second = pair`, with the interpreter's unpacking errors.
int unpack_pair(Arg pair, Ref& first, Ref& second);

// Adds the traceback entry `name` in "velkax" at `line` to the raised exception.
void add_traceback(const char* name, int line);

// Returned by Trace::fail: an empty Ref or -1, whichever the function returns.
struct Failed {
    operator Ref() const noexcept { return {}; }
    operator int() const noexcept { return -1; }
};

// The traceback entry of one module function, named by its record (which
// may be defined further down its file, after the body).
class Trace {
public:
    explicit constexpr Trace(const FunctionSpec& spec) noexcept : spec_(&spec) {}
    // The statement at `line` failed: add the entry, then pass the failure up.
    Failed fail(int line) const {
        add_traceback(spec_->entry, line);
        return {};
    }

private:
    const FunctionSpec* spec_;
};

// raise type(value): sets the exception and passes the failure up.
Failed raise_error(PyObject* type, Arg value);

// A for loop at `line`: `each(item)` runs for every item of `iterable` and
// returns 0 to go on, 1 to leave the loop (break, or a return whose value
// the caller gives after it) or -1 when it failed, having added its own
// entry. Failing to iterate fails at `line`. 0 once the loop is left.
template <typename Each>
int for_each(const Trace& tb, int line, Arg iterable, Each each) {
    Ref iterator = iterate(iterable);
    if (!iterator) return tb.fail(line);
    for (Ref item;;) {
        int more = next(iterator, item);
        if (more < 0) return tb.fail(line);
        if (more == 0) return 0;
        int done = each(std::move(item));
        if (done != 0) return done < 0 ? -1 : 0;
    }
}

// An except block. Built while an exception is raised: when it is an instance
// of `catches` (and not of `lets_through`), it is taken and becomes the
// exception being handled until the handler ends; otherwise it stays raised
// and the handler is false.
class Handler {
public:
    explicit Handler(PyObject* catches, PyObject* lets_through = nullptr);
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    explicit operator bool() const noexcept { return static_cast<bool>(caught_); }
    PyObject* exception() const noexcept { return caught_.get(); }
    // A bare `raise`: the same exception object, its traceback kept.
    Failed reraise() const;

private:
    Ref caught_;
    _PyErr_StackItem* stack_item_ = nullptr;  // where the handled exception was found
    Ref previously_handled_;
};

// What the bare except blocks of the module catch: everything but an
// interruption by the user and a request to leave the interpreter.
PyObject* exit_exceptions();

}  // namespace velka
