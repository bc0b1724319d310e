"""Import, module namespace, types and the import-time guards of velmora.omit."""

import builtins
import ctypes
import importlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import velmora.omit as omit
from conftest import SOURCE_FILE, STRINGSOURCE, run_python

O, N = omit.Omitter, omit.NoTrustOmitter
FUNCTIONS = ("hide", "globally_hidden", "always_omit", "globally_trusted", "always_trust",
             "reset_omissions", "reset_trusted", "__pyx_unpickle_Omitter",
             "__pyx_unpickle_NoTrustOmitter")
OWN_NAMES = {"__builtins__", "__test__", "Omitter", "NoTrustOmitter", *FUNCTIONS}
IMPORT_SYSTEM_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                       "__file__", "__cached__"}
SUBINTERP = ("Interpreter change detected - this module can only be loaded into one "
             "interpreter per process.")
# The module is built for the interpreter running the tests.
BUILT = "%d.%d" % sys.version_info[:2]
OTHER_LINE = "3.12" if BUILT != "3.12" else "3.11"
MISMATCH = f"compile time version {BUILT} of module 'velmora.omit' does not match runtime version "


def test_namespace_holds_exactly_the_published_names():
    names = set(vars(omit))
    assert OWN_NAMES <= names and names - OWN_NAMES <= IMPORT_SYSTEM_NAMES
    assert omit.__builtins__ is builtins and omit.__doc__ is None
    assert omit.__test__ == {} and type(omit.__test__) is dict
    assert (omit.__package__, omit.__file__) == ("velmora", omit.__spec__.origin)
    assert omit.__loader__ is omit.__spec__.loader
    assert all(type(getattr(omit, name)) is type(omit.hide) for name in FUNCTIONS)


@pytest.mark.parametrize("tp", [O, N], ids=["Omitter", "NoTrustOmitter"])
def test_types_are_immutable_but_subclassable(tp):
    assert tp.__module__ == "velmora.omit" and tp.__doc__ is None
    for attempt, name in [(lambda: setattr(tp, "x", 1), "x"),
                          (lambda: setattr(tp, "__reduce__", None), "__reduce__"),
                          (lambda: delattr(tp, "__setstate__"), "__setstate__")]:
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == (
            f"cannot set '{name}' attribute of immutable type 'velmora.omit.{tp.__name__}'")
    assert not hasattr(tp, "x") and tp.__dict__["__reduce__"].__name__ == "__reduce_cython__"
    assert {"__reduce__", "__setstate__", "__reduce_cython__", "__setstate_cython__"} <= set(
        tp.__dict__)
    sub = type("Sub", (tp,), {})
    sub.x = 1
    assert sub.x == 1 and isinstance(sub(), tp)


def test_vtable_capsules_are_unnamed_and_share_all_but_should_hide():
    api, tables = ctypes.pythonapi, []
    for name in ("PyCapsule_GetName", "PyCapsule_GetDestructor", "PyCapsule_GetPointer"):
        getattr(api, name).restype = ctypes.c_void_p
        getattr(api, name).argtypes = [ctypes.py_object] + [ctypes.c_char_p] * ("Po" in name)
    for capsule in (O.__dict__["__pyx_vtable__"], N.__dict__["__pyx_vtable__"]):
        assert type(capsule).__name__ == "PyCapsule"
        assert api.PyCapsule_GetName(capsule) is api.PyCapsule_GetDestructor(capsule) is None
        address = api.PyCapsule_GetPointer(capsule, None)
        tables.append(list((ctypes.c_void_p * 3).from_address(address)))
    (o_should_hide, *o_walk), (n_should_hide, *n_walk) = tables
    assert o_should_hide != n_should_hide and o_walk == n_walk and all(o_walk)


def test_reimport_and_reload_give_the_same_module():
    omit.always_omit(["k"])
    before = {name: getattr(omit, name) for name in OWN_NAMES}
    saved = sys.modules.pop("velmora.omit")
    try:
        assert importlib.import_module("velmora.omit") is saved
        assert importlib.reload(saved) is saved
    finally:
        sys.modules["velmora.omit"] = saved
    assert all(getattr(omit, name) is value for name, value in before.items())
    assert omit.globally_hidden() == ["k"]


@pytest.mark.parametrize("flags", [["-X", "dev"], ["-X", "dev", "-W", "error"]])
def test_import_is_silent_in_dev_mode(flags):
    code = "import velmora.omit as m; assert m.hide('ab') == '**'"
    proc = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True,
                          text=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_second_interpreter_is_refused(main_first):
    pytest.importorskip("_testcapi")
    proc = run_python(f"""
        import _testcapi
        if {main_first}:
            import velmora.omit
        print(_testcapi.run_in_subinterp("import velmora.omit"))
        try:
            import velmora.omit as m
            print(m.hide("ab"))
        except ImportError as exc:
            print(exc)
    """)
    assert proc.returncode == 0, proc.stderr
    if main_first:
        assert proc.stdout.splitlines() == ["-1", "**"]
        assert "ImportError: " + SUBINTERP in proc.stderr.splitlines()
    else:
        assert proc.stdout.splitlines() == ["0", SUBINTERP]


@pytest.fixture
def version_shim(tmp_path):
    """Runs code in a python whose Py_GetVersion reports the given text."""
    if shutil.which("gcc") is None:
        pytest.skip("gcc is not available")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("the interpreter is not linked against a shared libpython")

    def run(version, code, *flags):
        (tmp_path / "shim.c").write_text(
            f'const char *Py_GetVersion(void) {{ return "{version}"; }}\n')
        library = tmp_path / "libshim.so"
        subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(library), str(tmp_path / "shim.c")],
                       check=True)
        env = dict(os.environ)
        preload = env.get("LD_PRELOAD", "")
        env["LD_PRELOAD"] = f"{library}:{preload}" if preload else str(library)
        if preload:  # a sanitizer runtime no longer comes first; it works all the same
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        proc = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True,
                              text=True, env=env, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout)
    return run


@pytest.mark.parametrize("version, runtime", [
    *[(f"{line}.1 (shim)", line) for line in ("3.11", "3.12", "3.13") if line != BUILT],
    ("3.9.7 (shim)", "3.9"), ("4.0+ (shim)", "4.0"), (f"{BUILT}.99 (shim)", None)])
def test_version_mismatch_warns(version_shim, version, runtime):
    reported, caught, masked = version_shim(version, """if 1:
        import json, sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import velmora.omit as m
        print(json.dumps([sys.version, [[w.category.__name__, str(w.message)] for w in caught],
                          m.hide("ab")]))""")
    assert reported == version and masked == "**"
    assert caught == ([] if runtime is None else [["RuntimeWarning", MISMATCH + runtime]])


def test_version_warning_as_error_fails_the_import_and_a_retry_works(version_shim):
    outcome, gone, masked, hidden, test = version_shim(f"{OTHER_LINE}.1 (shim)", f"""if 1:
        import json, sys, traceback, warnings
        try:
            import velmora.omit
            outcome = None
        except RuntimeWarning as exc:
            outcome = [str(exc), [f.filename for f in traceback.extract_tb(exc.__traceback__)
                                  if f.filename in ({SOURCE_FILE!r}, {STRINGSOURCE!r})]]
        gone = "velmora.omit" not in sys.modules
        warnings.simplefilter("ignore")
        import velmora.omit as m
        m.always_omit(["k"])
        print(json.dumps([outcome, gone, m.hide("abc"), m.globally_hidden(), m.__test__]))
    """, "-W", "error::RuntimeWarning")
    assert outcome == [MISMATCH + OTHER_LINE, []]
    assert gone and masked == "***" and hidden == ["k"] and test == {}


CREATE_CODE = """if 1:
    import ctypes, importlib, importlib.util, json, sys
    origin = importlib.util.find_spec("velmora.omit").origin
    spec = importlib.util.spec_from_file_location("velmora.omit", origin,
                                                  submodule_search_locations=LOCATIONS)
    TWEAK
    init, api = ctypes.PyDLL(origin).PyInit_omit, ctypes.pythonapi
    init.restype = ctypes.c_void_p
    definition = init()
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    try:
        module = api.PyModule_FromDefAndSpec2(definition, spec, sys.api_version)
    except Exception as exc:
        import velmora.omit as m
        print(json.dumps(["failed", type(exc).__name__, str(exc), m.hide("ab")]))
        raise SystemExit
    names = sorted(vars(module))
    copied = [getattr(module, "__file__", "absent"), getattr(module, "__path__", "absent"),
              module.__package__, module.__loader__ is getattr(spec, "loader", None)]
    executed, after_exec = api.PyModule_ExecDef(module, definition), dict(vars(module))
    spec.submodule_search_locations, spec.origin = ["other"], "elsewhere"
    second = api.PyModule_FromDefAndSpec2(definition, spec, sys.api_version)
    print(json.dumps([names, copied, origin, second is module, vars(module) == after_exec,
                      executed + api.PyModule_ExecDef(second, definition),
                      importlib.import_module("velmora.omit") is module, module.hide("ab")]))
"""


@pytest.mark.parametrize("locations, tweak, file, path", [
    (None, "", "origin", "absent"),
    (["pkgdir"], "", "origin", ["pkgdir"]),
    (None, "del spec.origin", "absent", "absent"),
    (["a", "b"], "spec.origin = None", None, ["a", "b"]),
])
def test_create_copies_spec_attributes_and_a_later_create_returns_the_module(
        locations, tweak, file, path):
    proc = run_python(CREATE_CODE.replace("LOCATIONS", repr(locations)).replace("TWEAK", tweak))
    assert proc.returncode == 0, proc.stderr
    names, copied, origin, *rest = json.loads(proc.stdout)
    package = "velmora" if path == "absent" else "velmora.omit"  # a package spec's parent
    assert copied == [origin if file == "origin" else file, path, package, True]
    assert ("__file__" in names, "__path__" in names) == (file != "absent", path != "absent")
    assert rest == [True, True, 0, True, "**"]


def test_failing_spec_attribute_fails_create_and_leaves_import_working():
    tweak = ("class Spec(type(spec)):\n"
             "        parent = property(lambda self: {}['boom'])\n"
             "    spec.__class__ = Spec")
    proc = run_python(CREATE_CODE.replace("LOCATIONS", "None").replace("TWEAK", tweak))
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == ["failed", "KeyError", "'boom'", "**"]
