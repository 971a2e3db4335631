// Benchmark entry point with an embedded interpreter, so benchmarks may drive
// engine code that talks to Python; pure C++ benchmarks simply ignore it.
#include <benchmark/benchmark.h>
#include <nanobind/nanobind.h>

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Py_InitializeEx(0);
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, nullptr);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
