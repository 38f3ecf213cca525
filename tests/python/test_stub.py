"""The typing stub nonagame.pyi and the module carry the same surface twice: public names,
parameters and docstrings. They are checked against each other here, so that a change to
one that forgets the other fails (mypy's stubtest, run by scripts/test.sh, compares the
names and signatures but not the docstrings)."""
import ast
import inspect
import pathlib

import pytest

import nonagame

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "lib" / "nonagame" / "nonagame.pyi"
STUB = ast.parse(SOURCE_STUB.read_text(encoding="utf-8"))
STUB_CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}
STUB_FUNCTIONS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}


def stub_methods(cls_name):
    return {node.name: node for node in STUB_CLASSES[cls_name].body if isinstance(node, ast.FunctionDef)}


def normalised(doc):
    """A docstring as help() shows it: indentation and blank edges removed, and no trailing
    blanks on any line (the method tables keep a few; a stub's lines cannot end in one)."""
    if not doc:
        return None
    lines = [line.rstrip() for line in inspect.cleandoc(doc).splitlines()]
    return "\n".join(lines).strip("\n") or None


def documented_objects():
    """(label, runtime object, stub node) for the module, each class and every method and
    function whose docstring comes from the module's own tables (not CPython's slot
    wrappers such as __str__, nor __new__)."""
    yield "module", nonagame, STUB
    for cls_name in STUB_CLASSES:
        cls = getattr(nonagame, cls_name)
        yield cls_name, cls, STUB_CLASSES[cls_name]
        for name, node in stub_methods(cls_name).items():
            member = vars(cls).get(name)
            if inspect.ismethoddescriptor(member) and type(member).__name__ == "method_descriptor":
                yield f"{cls_name}.{name}", member, node
    for name, node in STUB_FUNCTIONS.items():
        yield name, getattr(nonagame, name), node


DOCUMENTED = list(documented_objects())


@pytest.mark.parametrize("label, runtime, node", DOCUMENTED, ids=[label for label, _, _ in DOCUMENTED])
def test_module_and_stub_carry_the_same_docstring(label, runtime, node):
    assert normalised(runtime.__doc__) == normalised(ast.get_docstring(node, clean=False)), label


def test_every_method_of_the_tables_is_compared():
    # The walk above is only as good as its coverage: every method the classes define is in it.
    compared = {label for label, _, _ in DOCUMENTED}
    for cls_name in STUB_CLASSES:
        cls = getattr(nonagame, cls_name)
        for name, member in vars(cls).items():
            if type(member).__name__ == "method_descriptor":
                assert f"{cls_name}.{name}" in compared


def parameters(node):
    args = node.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs), "the module takes none of these"
    return [a.arg for a in args.posonlyargs + args.args]


SIGNED = (
    [(f"{c}.__new__", getattr(nonagame, c), stub_methods(c)["__new__"], "cls")
     for c in STUB_CLASSES if "__new__" in stub_methods(c)]
    + [(f"{c}.{m}", vars(getattr(nonagame, c))[m], node, "self")
       for c in STUB_CLASSES for m, node in stub_methods(c).items()
       if type(vars(getattr(nonagame, c)).get(m)).__name__ == "method_descriptor"]
    + [(name, getattr(nonagame, name), node, None) for name, node in STUB_FUNCTIONS.items()]
)


@pytest.mark.parametrize("label, runtime, node, first", SIGNED, ids=[s[0] for s in SIGNED])
def test_module_and_stub_name_the_same_parameters(label, runtime, node, first):
    names = parameters(node)
    if first is not None:
        assert names[0] == first
        names = names[1:]
    runtime_names = [p for p in inspect.signature(runtime).parameters if p != "self"]
    assert runtime_names == names, label


def test_stub_lists_the_module_exports():
    (assignment,) = [n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert nonagame.__all__ == ast.literal_eval(assignment.value)
    assert set(nonagame.__all__) == {name for name in [*STUB_CLASSES, *STUB_FUNCTIONS] if not name.startswith("_")}


@pytest.mark.parametrize("cls_name", sorted(STUB_CLASSES))
def test_stub_lists_every_public_member_of_each_class(cls_name):
    cls = getattr(nonagame, cls_name)
    public = {name for name in vars(cls) if not name.startswith("_")}
    assert public == {name for name in stub_methods(cls_name) if not name.startswith("_")}


def test_shipped_stub_is_the_source_stub():
    shipped = pathlib.Path(nonagame.__file__).with_name("nonagame.pyi")
    if not shipped.exists():
        pytest.skip(f"no stub beside {nonagame.__file__}")
    assert shipped.read_bytes() == SOURCE_STUB.read_bytes()
