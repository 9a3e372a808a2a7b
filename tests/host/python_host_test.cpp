#include "host/python_host.h"

#include <Python.h>

#include <thread>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "host/standalone_host.h"
#include "tests/support/host_describe.h"
#include "tests/support/scene_builder.h"
#include "tests/support/temp_dir.h"

namespace script::host {
namespace {

using py::Ref;
using testing::describe;
using testing::SceneBuilder;
using testing::TempDir;

// One interpreter for the whole test program, with the stand-in host modules importable.
class PythonEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        Py_InitializeEx(0);
        // The stand-in modules live in the source tree, which stays free of byte code.
        PySys_SetObject("dont_write_bytecode", Py_True);
        PyObject* path = PySys_GetObject("path");
        PyList_Insert(path, 0, py::str(ANALYSER_HOST_STUBS_DIR).get());
        m_saved = PyEval_SaveThread();
    }
    void TearDown() override { PyEval_RestoreThread(static_cast<PyThreadState*>(m_saved)); }

private:
    void* m_saved = nullptr;
};

const auto* const k_environment = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

Ref import(const char* name)
{
    return py::checked(PyImport_ImportModule(name));
}

PythonHostModules stand_in_modules()
{
    PythonHostModules modules;
    modules.configuration = py::attr(import("Katana").get(), "Configuration");
    modules.katana_file = py::attr(import("Katana").get(), "KatanaFile");
    modules.nodegraph = import("NodegraphAPI");
    modules.nodes3d = py::attr(import("Katana").get(), "Nodes3DAPI");
    modules.geolib_services = import("FnGeolibServices");
    return modules;
}

// Runs Python code in the stand-in modules' world (to change their behaviour).
void run_python(const char* code)
{
    const py::Gil lock;
    ASSERT_EQ(PyRun_SimpleString(code), 0) << code;
}

Json evaluate(const char* expression)
{
    const py::Gil lock;
    const Ref main = import("__main__");
    const Ref globals = py::attr(main.get(), "__dict__");
    const Ref value =
        py::checked(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    return py::to_json(value.get());
}

class PythonHostTest : public ::testing::Test
{
protected:
    PythonHostTest()
    {
        const py::Gil lock;
        m_host = std::make_unique<PythonHost>(stand_in_modules());
    }
    ~PythonHostTest() override
    {
        const py::Gil lock;
        m_host.reset();
    }

    TempDir m_dir;
    std::unique_ptr<PythonHost> m_host;
};

SceneBuilder full_scene()
{
    SceneBuilder b;
    b.offer_child_names()
        .node("rootNode", "Group")
        .param("inTime", 1.0)
        .param("outTime", 100)
        .param("variables.shot.options", Json::array({"a", "b"}))
        .node("Render1", "Render")
        .parent("rootNode")
        .param("farmSettings.TimeRange", "1-100")
        .param("text", "caf\xc3\xa9")
        .param("big", 1e300)
        .param("flag", true)
        .output("primary", "/out/a.#.exr", "exr")
        .producer("main")
        .node("Render2", "Render")
        .bypassed()
        .render_error("no camera")
        .param_error("broken", "cannot evaluate")
        .node("Read", "ImageRead")
        .param("file", "/tex/a.tx")
        .scene_graph("main",
                     SceneBuilder::location(
                         "root", "group", {{"customProperties", {{"klf", "/look/a.klf"}}}},
                         Json::array({SceneBuilder::location(
                             "geo", "polymesh",
                             {{"material",
                               {{"nodes",
                                 {{"n1",
                                   {{"parameters",
                                     {{"filename", "/t.tx"}, {"tex0", Json::array({1.5, 2.5})}}}}},
                                  {"n.2", {{"count", 3}}}}}}},
                              {"flags", Json::array({true, false})}})})));
    return b;
}

// The stand-in host modules read scene documents as the standalone host does, and the
// Python backend hands their answers over unchanged: both describe a scene the same way.
TEST_F(PythonHostTest, AnswersLikeTheStandaloneHostForTheSameDocument)
{
    const std::string path = full_scene().write(m_dir.file("scene.json"));
    StandaloneHost standalone;
    standalone.load_scene(path);
    m_host->load_scene(path);
    const Json expected = describe(standalone);
    EXPECT_EQ(describe(*m_host), expected);
    EXPECT_EQ(expected["Render"][1]["render_error"], "no camera");

    // Nodes keep their handle however they are reached; values set stay in memory.
    const NodeRef render = m_host->all_nodes_by_type("Render").front();
    EXPECT_EQ(m_host->node_by_name("Render1"), render);
    EXPECT_FALSE(m_host->node_by_name("Missing").has_value());
    const ParamRef lock_param = *m_host->parameter(render, "farmSettings.TimeRange");
    m_host->set_param_value(lock_param, 0, 0);
    EXPECT_EQ(m_host->param_value(*m_host->parameter(render, "farmSettings.TimeRange"), 0), 0);
}

TEST_F(PythonHostTest, PythonFailuresBecomeHostAndLoadErrors)
{
    EXPECT_THROW(
        {
            try {
                m_host->load_scene(m_dir.file("missing.json"));
            } catch (const LoadError& e) {
                EXPECT_EQ(std::string(e.what()), m_dir.file("missing.json") + ": cannot open file");
                throw;
            }
        },
        LoadError);
    const std::string path = SceneBuilder().load_error("bad archive").write(m_dir.file("bad.json"));
    try {
        m_host->load_scene(path);
        ADD_FAILURE() << "the load did not fail";
    } catch (const LoadError& e) {
        EXPECT_STREQ(e.what(), "bad archive");
    }
    // An exception without text is named by its class.
    run_python("import NodegraphAPI\n"
               "def _raise(*args): raise ZeroDivisionError()\n"
               "_saved = NodegraphAPI.GetAllNodesByType\n"
               "NodegraphAPI.GetAllNodesByType = _raise\n");
    try {
        m_host->all_nodes_by_type("Render");
        ADD_FAILURE() << "the call did not fail";
    } catch (const HostError& e) {
        EXPECT_STREQ(e.what(), "ZeroDivisionError");
    }
    run_python("NodegraphAPI.GetAllNodesByType = _saved\n");
}

// A request to stop raised by a host call is not taken for a host failure that a guard may
// swallow: every later call fails without running Python, and the request is handed back.
TEST_F(PythonHostTest, RequestToStopEndsEveryLaterCall)
{
    const std::string path = full_scene().write(m_dir.file("scene.json"));
    m_host->load_scene(path);
    run_python("import NodegraphAPI\n"
               "_calls = []\n"
               "_saved = NodegraphAPI.GetNode\n"
               "def _interrupt(name):\n"
               "    _calls.append(name)\n"
               "    raise KeyboardInterrupt()\n"
               "NodegraphAPI.GetNode = _interrupt\n");
    EXPECT_THROW(m_host->node_by_name("rootNode"), HostError);
    EXPECT_THROW(m_host->node_by_name("rootNode"), HostError);
    EXPECT_THROW(m_host->all_nodes_by_type("Render"), HostError);
    EXPECT_EQ(evaluate("len(_calls)"), 1);
    {
        const py::Gil lock;
        const std::optional<py::PythonException> stop = m_host->take_stop_request();
        ASSERT_TRUE(stop.has_value());
        EXPECT_TRUE(PyErr_GivenExceptionMatches(stop->type.get(), PyExc_KeyboardInterrupt));
    }
    run_python("NodegraphAPI.GetNode = _saved\n");
    EXPECT_EQ(m_host->node_name(*m_host->node_by_name("rootNode")), "rootNode");
}

TEST_F(PythonHostTest, LaunchModeKeysTheHostDoesNotDefine)
{
    run_python("from Katana import Configuration\n"
               "_saved_get = Configuration.get\n"
               "def _get(key):\n"
               "    if key == 'A': return ''\n"
               "    if key == 'B': raise KeyError(key)\n"
               "    if key == 'C': return '1'\n"
               "    raise ValueError('broken configuration')\n"
               "Configuration.get = _get\n");
    EXPECT_EQ(m_host->configuration("A"), "");
    EXPECT_TRUE(m_host->configuration("B").is_null());
    EXPECT_EQ(m_host->configuration("C"), "1");
    EXPECT_THROW(m_host->configuration("D"), HostError);
    run_python("Configuration.get = _saved_get\n");
}

TEST_F(PythonHostTest, HeaderElementPrintsAsTheHostPrintsIt)
{
    const std::string path =
        SceneBuilder().header("4.5.1.000008", "4.5v1").write(m_dir.file("s.json"));
    const HeaderElement element = m_host->katana_xml_element(path);
    EXPECT_EQ(element.item("version"), "4.5.1.000008");
    EXPECT_EQ(element.text(), "<katana version=\"4.5.1.000008\" release=\"4.5v1\"/>");
    EXPECT_THROW(element.item("archive"), HostError);
}

TEST_F(PythonHostTest, OtherThreadsAreRefusedWithoutTouchingPython)
{
    const std::string path = full_scene().write(m_dir.file("scene.json"));
    m_host->load_scene(path);
    bool refused = false;
    std::thread worker([&] {
        try {
            m_host->all_nodes_by_type("Render");
        } catch (const HostError& e) {
            refused = std::string(e.what()).find("thread") != std::string::npos;
        }
    });
    worker.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(m_host->all_nodes_by_type("Render").size(), 2u);
}

TEST(PythonValues, ConvertAsPythonGivesThem)
{
    struct Case
    {
        const char* python;
        Json expected;
    };
    const Case cases[] = {
        {"1001.0", 1001.0},
        {"1001", 1001},
        {"True", true},
        {"None", nullptr},
        {"'caf\\xe9'", "caf\xc3\xa9"},
        {"'raw\\udce9'", "raw\xe9"},
        {"[1, 'a', (2.5,)]", Json::array({1, "a", Json::array({2.5})})},
        {"{'b': 1, 'a': {'c': None}}", Json::parse(R"({"b": 1, "a": {"c": null}})")},
        {"2 ** 70", 1180591620717411303424.0},
        {"{1: 'x'}", Json::parse(R"({"1": "x"})")},
        {"type('T', (), {'__str__': lambda self: 'shown'})()", "shown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(evaluate(c.python), c.expected) << c.python;
        const py::Gil lock;
        if (!c.expected.is_string() ||
            std::string_view(c.python).find("type(") == std::string_view::npos)
            EXPECT_EQ(py::to_json(py::from_json(c.expected).get()), c.expected) << c.python;
    }
}

} // namespace
} // namespace script::host
