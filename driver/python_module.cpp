// The analyser as the Python extension module `script`, loaded by the Katana host:
//
//   import script                      # loads the host modules; fails without them
//   script.main(file, task)            # the callable entry
//   script.command_line(sys.argv)      # the main program (run_analyse.py hands it argv)
//
// Built against the stable ABI only, so one binary serves every host Python from 3.7 on.
// Console lines go through sys.stdout and sys.stderr. The analysis runs with the
// interpreter lock released; the host backend and the console take it for each call.

#include <Python.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "common/pyobject.h"
#include "common/pypath.h"
#include "driver/driver.h"
#include "driver/process_exit.h"
#include "host/python_host.h"

namespace script {

namespace {

using py::Ref;

constexpr const char* k_module_name = "script";
constexpr const char* k_host_package = "Katana";

// The host modules, imported once when the module loads and kept for its lifetime.
host::PythonHostModules& host_modules()
{
    static host::PythonHostModules modules;
    return modules;
}

// ---------------------------------------------------------------------------------------
// Console lines through sys.stdout and sys.stderr

void write_to_process_stream(std::string_view text, bool error)
{
    std::FILE* stream = error ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Writes to a Python text stream; text that the stream cannot encode (file names that are
// no UTF-8) goes to its byte buffer unchanged. Returns false when nothing could be written.
bool write_to_python_stream(PyObject* stream, std::string_view text)
{
    try {
        py::call_method(stream, "write", {py::str(text)});
        py::call_method(stream, "flush");
        return true;
    } catch (const py::Raised&) {
    }
    try {
        const Ref buffer = py::attr(stream, "buffer");
        py::call_method(stream, "flush");
        const Ref bytes = py::checked(
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        py::call_method(buffer.get(), "write", {bytes});
        py::call_method(buffer.get(), "flush");
        return true;
    } catch (const py::Raised&) {
        return false;
    }
}

void write_to_python(std::string_view text, bool error)
{
    if (!Py_IsInitialized()) {
        write_to_process_stream(text, error);
        return;
    }
    const py::Gil lock;
    // A borrowed reference; None or absent when the host has no such stream.
    PyObject* stream = PySys_GetObject(error ? "stderr" : "stdout");
    if (stream == nullptr || stream == Py_None || !write_to_python_stream(stream, text)) {
        write_to_process_stream(text, error);
    }
}

// ---------------------------------------------------------------------------------------
// Module load

// `from package import name`: the attribute, or else the submodule of that name.
Ref import_from(const char* package, const char* name)
{
    const Ref module = py::checked(PyImport_ImportModule(package));
    if (Ref found = py::attr_or_null(module.get(), name)) {
        return found;
    }
    const std::string submodule = std::string(package) + "." + name;
    return py::checked(PyImport_ImportModule(submodule.c_str()));
}

// Imports one host module; a failure becomes an ImportError naming it.
Ref import_host(const std::string& shown_name, const std::function<Ref()>& import)
{
    try {
        return import();
    } catch (py::Raised& raised) {
        const std::string message = "the analyser needs the Katana host module " + shown_name +
                                    " and cannot import it: " + raised.exception().what;
        const Ref text = py::str(message);
        const Ref name = py::str(shown_name);
        PyErr_SetImportError(text.get(), name.get(), nullptr);
        throw py::Raised(py::fetch_exception());
    }
}

void load_host_modules()
{
    host::PythonHostModules modules;
    modules.geolib_services = import_host(
        "FnGeolibServices", [] { return py::checked(PyImport_ImportModule("FnGeolibServices")); });
    // The names PyUtilModule exports are not used by name; the import must succeed.
    import_host("PyUtilModule", [] { return py::checked(PyImport_ImportModule("PyUtilModule")); });
    modules.nodegraph = import_host(
        "NodegraphAPI", [] { return py::checked(PyImport_ImportModule("NodegraphAPI")); });
    modules.katana_file =
        import_host("Katana.KatanaFile", [] { return import_from(k_host_package, "KatanaFile"); });
    import_host("Katana.FarmAPI", [] { return import_from(k_host_package, "FarmAPI"); });
    modules.nodes3d =
        import_host("Katana.Nodes3DAPI", [] { return import_from(k_host_package, "Nodes3DAPI"); });
    modules.configuration = import_host(
        "Katana.Configuration", [] { return import_from(k_host_package, "Configuration"); });
    host_modules() = std::move(modules);
}

// The working directory joins the end of sys.path when it exists.
void append_working_dir_to_sys_path()
{
    const std::string cwd = platform::current_dir();
    if (cwd.empty() || !fs::exists(cwd)) {
        return;
    }
    PyObject* path = PySys_GetObject("path");
    if (path != nullptr && PyList_Check(path)) {
        if (PyList_Append(path, py::str(cwd).get()) != 0) {
            throw py::Raised(py::fetch_exception());
        }
    }
}

// ---------------------------------------------------------------------------------------
// Entries

// The folder of this module's file, where the rule file and the launcher are shipped.
std::string module_dir(PyObject* module)
{
    const Ref file = py::attr_or_null(module, "__file__");
    if (!file || !PyUnicode_Check(file.get())) {
        return {};
    }
    return pypath::dirname(pypath::abspath(py::text(file.get())));
}

// What the analysis reads of Python's state: the module search path, which begins with the
// analyser's own folder and goes on with sys.path, and argument zero of the program.
void take_python_state(PyObject* module, const std::string& program)
{
    std::vector<std::string>& search_path = platform::module_search_path();
    search_path.clear();
    search_path.push_back(module_dir(module));
    if (PyObject* path = PySys_GetObject("path"); path != nullptr) {
        for (const Ref& entry : py::items_of(path)) {
            if (PyUnicode_Check(entry.get())) {
                search_path.push_back(py::text(entry.get()));
            }
        }
    }
    platform::set_program_path(program);
}

std::string sys_argv0()
{
    PyObject* argv = PySys_GetObject("argv");
    if (argv == nullptr || !PyList_Check(argv) || PyList_Size(argv) < 1) {
        return {};
    }
    PyObject* first = PyList_GetItem(argv, 0);
    return first != nullptr && PyUnicode_Check(first) ? py::text(first) : std::string();
}

std::string host_executable_name()
{
    PyObject* executable = PySys_GetObject("executable");
    if (executable == nullptr || !PyUnicode_Check(executable)) {
        return {};
    }
    return pypath::basename(py::text(executable));
}

PyObject* raise_system_exit(int status)
{
    const Ref code = py::integer(status);
    PyErr_SetObject(PyExc_SystemExit, code.get());
    return nullptr;
}

// Runs an entry with the lock released and turns what leaves it into Python's terms: an
// ended run is SystemExit with its status (message on sys.stderr), any other error a
// RuntimeError with its text, and a request to stop that a host call raised is raised again.
template <typename Body> PyObject* run_entry(Body&& body)
{
    std::string failure;
    int exit_status = 0;
    try {
        host::PythonHost host(host_modules());
        {
            const py::AllowThreads unlocked;
            try {
                exit_status = body(host);
            } catch (const ProcessExit& exit) {
                if (!exit.message().empty()) {
                    print_error_line(exit.message());
                }
                exit_status = exit.status();
            } catch (const std::exception& e) {
                failure = e.what();
                if (failure.empty()) {
                    failure = "the analysis failed";
                }
            }
            console().flush();
        }
        if (std::optional<py::PythonException> stop = host.take_stop_request()) {
            py::restore_exception(std::move(*stop));
            return nullptr;
        }
    } catch (py::Raised& raised) {
        py::restore_exception(std::move(raised.exception()));
        return nullptr;
    }
    if (!failure.empty()) {
        PyErr_SetString(PyExc_RuntimeError, failure.c_str());
        return nullptr;
    }
    if (exit_status != 0) {
        return raise_system_exit(exit_status);
    }
    Py_RETURN_NONE;
}

PyObject* entry_main(PyObject* module, PyObject* args, PyObject* keywords)
{
    static const char* names[] = {"file", "task", nullptr};
    PyObject* file = nullptr;
    PyObject* task = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "UO:main", const_cast<char**>(names), &file,
                                     &task)) {
        return nullptr;
    }
    std::string scene;
    Json task_value;
    try {
        scene = py::text(file);
        task_value = PyUnicode_Check(task) ? Json(py::text(task)) : py::to_json(task);
        take_python_state(module, sys_argv0());
    } catch (py::Raised& raised) {
        py::restore_exception(std::move(raised.exception()));
        return nullptr;
    }
    return run_entry([&](host::Host& host) {
        main(host, scene, task_value);
        return 0;
    });
}

PyObject* entry_command_line(PyObject* module, PyObject* argv_object)
{
    std::vector<std::string> argv;
    std::string executable;
    try {
        for (const Ref& item : py::items_of(argv_object)) {
            argv.push_back(py::text(item.get()));
        }
        executable = host_executable_name();
        take_python_state(module, argv.empty() ? std::string() : argv.front());
    } catch (py::Raised& raised) {
        py::restore_exception(std::move(raised.exception()));
        return nullptr;
    }
    return run_entry([&](host::Host& host) { return run_main_program(host, argv, executable); });
}

PyMethodDef k_methods[] = {
    {"main", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_main)),
     METH_VARARGS | METH_KEYWORDS,
     "main(file, task)\n\nAnalyses the scene `file` into the job folder named by `task` (its "
     "text form; on Windows a folder name under C:/RovevoDodi/Project/). An ended run raises "
     "SystemExit with its status."},
    {"command_line", entry_command_line, METH_O,
     "command_line(argv)\n\nThe main program: argv is [program, SCENE, TASK_JSON, "
     "SYSTEM_JSON]. Returns after the finish flag; otherwise raises SystemExit with the exit "
     "status."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef k_module = {
    PyModuleDef_HEAD_INIT,
    k_module_name,
    "The Katana scene analyser for render farms.",
    -1,
    k_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module()
{
    Ref module = py::checked(PyModule_Create(&k_module));
    const Ref os_name = py::str(platform::current_os());
    if (PyModule_AddObject(module.get(), "CURRENT_OS", Ref(os_name).release()) != 0) {
        throw py::Raised(py::fetch_exception());
    }
    console().set_sink(write_to_python);
    load_host_modules();
    load_module();
    append_working_dir_to_sys_path();
    console().flush();
    return module.release();
}

} // namespace

} // namespace script

PyMODINIT_FUNC PyInit_script()
{
    try {
        return script::init_module();
    } catch (script::py::Raised& raised) {
        script::py::restore_exception(std::move(raised.exception()));
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
}
