#include "common/pyobject.h"

#include <Python.h>

namespace script::py {

namespace {

// Encodes with the error handler that maps lone surrogates back to the bytes they stand for.
constexpr const char* k_surrogates = "surrogateescape";

// UTF-8 bytes of a str, or nullopt with the Python error cleared.
bool utf8_of(PyObject* object, std::string& out)
{
    PyObject* bytes = PyUnicode_AsEncodedString(object, "utf-8", k_surrogates);
    if (bytes == nullptr) {
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    const bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
    if (ok) {
        out.assign(data, static_cast<std::size_t>(size));
    }
    Py_DECREF(bytes);
    return ok;
}

// Text of a str for messages; never raises.
std::string message_text(PyObject* object)
{
    std::string out;
    if (object == nullptr || !PyUnicode_Check(object) || !utf8_of(object, out)) {
        PyErr_Clear();
        out.clear();
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------
// References and the interpreter lock

Ref Ref::borrow(PyObject* object)
{
    Py_XINCREF(object);
    return Ref(object);
}

Ref::Ref(const Ref& other) : m_object(other.m_object)
{
    Py_XINCREF(m_object);
}

Ref::~Ref()
{
    // References kept in statics outlive the interpreter; its objects are gone by then.
    if (m_object != nullptr && Py_IsInitialized()) {
        Py_DECREF(m_object);
    }
}

Gil::Gil() : m_state(static_cast<int>(PyGILState_Ensure())) {}

Gil::~Gil()
{
    PyGILState_Release(static_cast<PyGILState_STATE>(m_state));
}

AllowThreads::AllowThreads() : m_state(PyEval_SaveThread()) {}

AllowThreads::~AllowThreads()
{
    PyEval_RestoreThread(static_cast<PyThreadState*>(m_state));
}

// ---------------------------------------------------------------------------------------
// Exceptions

PythonException fetch_exception()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PythonException exception;
    exception.type = Ref::steal(type);
    exception.value = Ref::steal(value);
    exception.traceback = Ref::steal(traceback);
    exception.asks_to_stop =
        type != nullptr && (PyErr_GivenExceptionMatches(type, PyExc_SystemExit) ||
                            PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt));
    if (value != nullptr) {
        // str() of the exception may itself raise; the class name then stands in.
        if (PyObject* text = PyObject_Str(value)) {
            exception.what = message_text(text);
            Py_DECREF(text);
        } else {
            PyErr_Clear();
        }
    }
    if (exception.what.empty() && type != nullptr) {
        if (PyObject* name = PyObject_GetAttrString(type, "__name__")) {
            exception.what = message_text(name);
            Py_DECREF(name);
        } else {
            PyErr_Clear();
        }
    }
    return exception;
}

void restore_exception(PythonException&& exception)
{
    PyErr_Restore(exception.type.release(), exception.value.release(),
                  exception.traceback.release());
}

Ref checked(PyObject* result)
{
    if (result == nullptr) {
        throw Raised(fetch_exception());
    }
    return Ref::steal(result);
}

// ---------------------------------------------------------------------------------------
// Text

Ref str(std::string_view text)
{
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), k_surrogates));
}

std::string text(PyObject* object)
{
    if (object == nullptr || !PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected a str");
        throw Raised(fetch_exception());
    }
    std::string out;
    if (!utf8_of(object, out)) {
        throw Raised(fetch_exception());
    }
    return out;
}

std::string str_of(PyObject* object)
{
    const Ref text_object = checked(PyObject_Str(object));
    return text(text_object.get());
}

// ---------------------------------------------------------------------------------------
// Attributes and calls

Ref attr(PyObject* object, const char* name)
{
    return checked(PyObject_GetAttrString(object, name));
}

Ref attr_or_null(PyObject* object, const char* name)
{
    PyObject* found = PyObject_GetAttrString(object, name);
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw Raised(fetch_exception());
        }
        PyErr_Clear();
    }
    return Ref::steal(found);
}

Ref call(PyObject* callable, const Ref& args, const Ref& keywords)
{
    return checked(PyObject_Call(callable, args.get(), keywords.get()));
}

Ref call_method(PyObject* object, const char* name, std::initializer_list<Ref> args,
                const Ref& keywords)
{
    const Ref method = attr(object, name);
    return call(method.get(), tuple(args), keywords);
}

Ref tuple(std::initializer_list<Ref> items)
{
    Ref result = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (const Ref& item : items) {
        // PyTuple_SetItem steals the reference it is given.
        PyTuple_SetItem(result.get(), index++, Ref(item).release());
    }
    return result;
}

Ref kwargs(std::initializer_list<std::pair<const char*, Ref>> items)
{
    Ref result = checked(PyDict_New());
    for (const auto& [name, value] : items) {
        if (PyDict_SetItemString(result.get(), name, value.get()) != 0) {
            throw Raised(fetch_exception());
        }
    }
    return result;
}

std::vector<Ref> items_of(PyObject* iterable)
{
    const Ref iterator = checked(PyObject_GetIter(iterable));
    std::vector<Ref> items;
    while (PyObject* item = PyIter_Next(iterator.get())) {
        items.push_back(Ref::steal(item));
    }
    if (PyErr_Occurred()) {
        throw Raised(fetch_exception());
    }
    return items;
}

bool truth(PyObject* object)
{
    const int result = PyObject_IsTrue(object);
    if (result < 0) {
        throw Raised(fetch_exception());
    }
    return result == 1;
}

Ref integer(long long value)
{
    return checked(PyLong_FromLongLong(value));
}

// ---------------------------------------------------------------------------------------
// Values

Json to_json(PyObject* object)
{
    if (object == nullptr || object == Py_None) {
        return nullptr;
    }
    if (object == Py_True || object == Py_False) {
        return object == Py_True;
    }
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) {
                throw Raised(fetch_exception());
            }
            return value;
        }
        const double wide = PyLong_AsDouble(object);
        if (wide == -1.0 && PyErr_Occurred()) {
            throw Raised(fetch_exception());
        }
        return wide;
    }
    if (PyFloat_Check(object)) {
        return PyFloat_AsDouble(object);
    }
    if (PyUnicode_Check(object)) {
        return text(object);
    }
    if (PyList_Check(object) || PyTuple_Check(object)) {
        Json array = Json::array();
        for (const Ref& item : items_of(object)) {
            array.push_back(to_json(item.get()));
        }
        return array;
    }
    if (PyDict_Check(object)) {
        Json members = Json::object();
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(object, &position, &key, &value)) {
            members[PyUnicode_Check(key) ? text(key) : str_of(key)] = to_json(value);
        }
        return members;
    }
    return str_of(object);
}

Ref from_json(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::null:
        return Ref::borrow(Py_None);
    case Json::value_t::boolean:
        return Ref::borrow(value.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_integer:
        return integer(value.get<long long>());
    case Json::value_t::number_unsigned:
        return checked(PyLong_FromUnsignedLongLong(value.get<unsigned long long>()));
    case Json::value_t::number_float:
        return checked(PyFloat_FromDouble(value.get<double>()));
    case Json::value_t::string:
        return str(value.get_ref<const std::string&>());
    case Json::value_t::array: {
        Ref list = checked(PyList_New(0));
        for (const Json& item : value) {
            if (PyList_Append(list.get(), from_json(item).get()) != 0) {
                throw Raised(fetch_exception());
            }
        }
        return list;
    }
    case Json::value_t::object: {
        Ref dict = checked(PyDict_New());
        for (const auto& [key, item] : value.items()) {
            if (PyDict_SetItem(dict.get(), str(key).get(), from_json(item).get()) != 0) {
                throw Raised(fetch_exception());
            }
        }
        return dict;
    }
    default:
        return Ref::borrow(Py_None);
    }
}

} // namespace script::py
