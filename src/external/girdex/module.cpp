// The module ondrel.external.girdex: the host SDK's script runner bound to the girdex integration.
#include "native/classes.hpp"
#include "native/module.hpp"

namespace girdex {
namespace {

using native::Ref;

struct State {
  native::Runtime rt;
  int traverse(visitproc visit, void* arg) const { return rt.traverse(visit, arg); }
  void clear() { rt.clear(); }
};

constexpr const char* analysis_doc = R"(::version(14.17.0)

    Runs a Python script written for the structural-analysis program girdex on a worker, with input
    files, and collects its output files. The worker is set up outside the platform; by default the
    script is defined in the application and sent to the worker to be run there.

    Basic usage:

    .. code-block:: python

        from ondrel.core import File
        from ondrel.external.girdex import GirdexAnalysis

        script = File.from_path("run_model.py")
        files = [("model.json", File.from_path("model.json"))]
        analysis = GirdexAnalysis(script=script, files=files, output_filenames=["results.json"])
        analysis.execute(timeout=60)
        results = analysis.get_output_file("results.json")

    Instead of sending a script, a worker configured to run only the scripts of its own
    configuration file (for security) is asked for one of them by its key:

    .. code-block:: python

        analysis = GirdexAnalysis(script_key="run_model", files=files, output_filenames=["results.json"])

    The script must be blocking: started from a command prompt, it waits until the analysis program has
    finished, so that the output files exist when it returns.

    :param script: the Python script to run (a :class:`~ondrel.core.File`).
    :param script_key: the key of a script defined in the worker's configuration, instead of `script`.
    :param files: the input files, as (file name, :class:`~ondrel.core.File`) pairs.
    :param output_filenames: the names of the output files to collect after the run.

    `execute(timeout=...)` runs the analysis and returns when it is done; `get_output_file(name)` then
    returns an output file. A failure raises :class:`ondrel.errors.ExecutionError`, a generic error whose
    message gives more information.
    )";

void exec(PyObject* module, State& state) {
  state.rt.init();
  // An absolute import: the runner belongs to the host SDK.
  Ref base = native::import("ondrel.external.python", "PythonAnalysis");
  native::ok(PyModule_AddObjectRef(module, "PythonAnalysis", base.ptr()));
  Ref all = native::own(Py_BuildValue("[s]", "GirdexAnalysis"));
  native::ok(PyModule_AddObjectRef(module, "__all__", all.ptr()));

  Ref cls = native::ClassBuilder(state.rt, module, "GirdexAnalysis")
                .base(base)
                .doc(analysis_doc)
                .attr("_integration", native::str("girdex"))
                .build();
  native::ok(PyModule_AddObjectRef(module, "GirdexAnalysis", cls.ptr()));
}

using Def = native::ModuleDef<State, exec>;
PyModuleDef module_def = Def::make("ondrel.external.girdex", "Analysis scripts for girdex, run on a worker.");

}  // namespace
}  // namespace girdex

PyMODINIT_FUNC PyInit_girdex() { return PyModuleDef_Init(&girdex::module_def); }
