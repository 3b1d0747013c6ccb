/* An application that embeds Python and starts it afresh several times, as plugin hosts
 * and test harnesses do.
 *
 *   host PATH ROUNDS SCRIPT [ARGS...]
 *
 * Each round initialises the interpreter with PATH (folders separated by ':') as the
 * module search path and without the site module (a re-initialised interpreter does not
 * compute the paths of a venv again as the first time), runs SCRIPT in a namespace of its own with
 * sys.argv = [SCRIPT, ARGS...], drops that namespace, runs the cycle collector, prints
 * "refs N" with the total reference count (sys.gettotalrefcount, "-" where the
 * interpreter does not count) and finalises. A failing round prints its traceback to
 * standard error and the next round still runs. Exit status: the number of failed rounds.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char epilogue[] =
    "import gc, sys\n"
    "gc.collect()\n"
    "print('refs', sys.gettotalrefcount() if hasattr(sys, 'gettotalrefcount') else '-', flush=True)\n";

static int set_name(PyObject *globals) {
    PyObject *name = PyUnicode_FromString("__round__");
    if (name == NULL) return -1;
    int rc = PyDict_SetItemString(globals, "__name__", name);
    Py_DECREF(name);
    return rc;
}

static PyStatus set_search_path(PyConfig *config, const char *path) {
    char *copy = strdup(path);
    if (copy == NULL) return PyStatus_NoMemory();
    PyStatus status = PyStatus_Ok();
    for (char *part = strtok(copy, ":"); part != NULL && !PyStatus_Exception(status); part = strtok(NULL, ":")) {
        wchar_t *wide = Py_DecodeLocale(part, NULL);
        if (wide == NULL) {
            status = PyStatus_NoMemory();
            break;
        }
        status = PyWideStringList_Append(&config->module_search_paths, wide);
        PyMem_RawFree(wide);
    }
    free(copy);
    config->module_search_paths_set = 1;
    return status;
}

static int run_round(int round, const char *path, const char *script, int argc, char **argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    config.site_import = 0;
    PyStatus status = set_search_path(&config, path);
    if (!PyStatus_Exception(status)) status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    int failed = 0;
    printf("round %d\n", round);
    fflush(stdout);
    FILE *fp = fopen(script, "rb");
    PyObject *globals = PyDict_New();
    if (fp == NULL) {
        perror(script);
        failed = 1;
    } else if (globals == NULL || set_name(globals) < 0) {
        PyErr_Print();
        fclose(fp);
        failed = 1;
    } else {
        PyObject *result = PyRun_FileEx(fp, script, Py_file_input, globals, globals, 1);
        if (result == NULL) {
            PyErr_Print();
            failed = 1;
        }
        Py_XDECREF(result);
    }
    if (globals != NULL) PyDict_Clear(globals);
    Py_XDECREF(globals);
    if (PyRun_SimpleString(epilogue) != 0) failed = 1;
    if (Py_FinalizeEx() < 0) failed = 1;
    return failed;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s PATH ROUNDS SCRIPT [ARGS...]\n", argv[0]);
        return 255;
    }
    int rounds = atoi(argv[2]);
    int failed = 0;
    for (int round = 1; round <= rounds; round++) failed += run_round(round, argv[1], argv[3], argc - 3, argv + 3);
    return failed;
}
