#pragma once

// A thin layer over CPython's stable ABI for the code that runs inside a Python host: owned
// references, the interpreter lock, Python errors as C++ exceptions and value conversion.
// Everything here needs the lock unless it says otherwise; only the host backend and the
// module use it, never the analysis.

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// Python.h must come first where it is included; this header only needs the object type.
struct _object;
using PyObject = _object;

namespace script::py {

using Json = nlohmann::ordered_json;

/// An owned (strong) reference; null means "no object". Copies add a reference. One
/// destroyed after the interpreter has ended lets its object go without touching it.
class Ref
{
public:
    Ref() = default;
    /// Takes over a new reference (as returned by most calls), which may be null.
    static Ref steal(PyObject* object) { return Ref(object); }
    /// Adds a reference to a borrowed one.
    static Ref borrow(PyObject* object);

    Ref(const Ref& other);
    Ref(Ref&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~Ref();

    PyObject* get() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    /// Gives up ownership.
    PyObject* release() { return std::exchange(m_object, nullptr); }

private:
    explicit Ref(PyObject* object) : m_object(object) {}
    PyObject* m_object = nullptr;
};

/// Holds the interpreter lock for its lifetime, from any thread that Python knows or not.
class Gil
{
public:
    Gil();
    ~Gil();
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    int m_state;
};

/// Lets other Python threads run for its lifetime; the calling thread must hold the lock.
class AllowThreads
{
public:
    AllowThreads();
    ~AllowThreads();
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    void* m_state;
};

/// A pending Python exception taken out of the interpreter. `what()` is the exception's
/// text (str()), or its class name when the text is empty.
struct PythonException
{
    Ref type, value, traceback;
    std::string what;
    /// True for exceptions that ask the program to stop (SystemExit, KeyboardInterrupt).
    bool asks_to_stop = false;
};

/// Takes the pending exception; call only when one is pending.
PythonException fetch_exception();

/// Puts a taken exception back as the pending one.
void restore_exception(PythonException&& exception);

/// Thrown by call helpers when Python raised; the exception stays taken out of the
/// interpreter until restored.
class Raised
{
public:
    explicit Raised(PythonException exception) : m_exception(std::move(exception)) {}
    const PythonException& exception() const { return m_exception; }
    PythonException& exception() { return m_exception; }

private:
    PythonException m_exception;
};

/// Checks a result: a null one means Python raised, which is thrown as Raised.
Ref checked(PyObject* result);

/// A new str from UTF-8 text; undecodable bytes become lone surrogates, as Python does
/// for file names, so they come back unchanged through text().
Ref str(std::string_view text);
/// The UTF-8 text of a str (surrogates back to their bytes); throws Raised for other
/// objects.
std::string text(PyObject* object);
/// str(object) as text.
std::string str_of(PyObject* object);

/// getattr(object, name); throws Raised when absent.
Ref attr(PyObject* object, const char* name);
/// getattr(object, name), or a null Ref when absent.
Ref attr_or_null(PyObject* object, const char* name);
/// object.name(*args, **kwargs).
Ref call_method(PyObject* object, const char* name, std::initializer_list<Ref> args = {},
                const Ref& kwargs = {});
/// Calls `callable` with a tuple of arguments and an optional dict of keyword arguments.
Ref call(PyObject* callable, const Ref& args, const Ref& kwargs = {});
/// A tuple of the given references (each may not be null).
Ref tuple(std::initializer_list<Ref> items);
/// A dict of keyword arguments.
Ref kwargs(std::initializer_list<std::pair<const char*, Ref>> items);
/// Every item an iterable yields, in order.
std::vector<Ref> items_of(PyObject* iterable);

/// Python's truth value of an object.
bool truth(PyObject* object);

/// A Python value as JSON: None null, bool, int (integer; beyond 64 bits a float), float,
/// str text, list and tuple arrays, dict objects with their keys as text (insertion
/// order kept). Any other object gives its str() text.
Json to_json(PyObject* object);
/// JSON as a Python value (the inverse for the kinds above).
Ref from_json(const Json& value);

/// An int object.
Ref integer(long long value);

} // namespace script::py
