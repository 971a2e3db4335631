// GoogleTest entry point with an embedded interpreter, so engine code that talks
// to Python can be tested directly. Tests run attached to the interpreter.
#include <gtest/gtest.h>
#include <nanobind/nanobind.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    // What importing a nanobind module would do: set up its internal state.
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, nullptr);
    int rc = RUN_ALL_TESTS();
    // No Py_Finalize: process-wide Python objects of the engine live until exit.
    return rc;
}
