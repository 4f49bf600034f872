"""Checks on the native sources that the compiler does not make.

Every Py_EnterRecursiveCall must be matched by exactly one Py_LeaveRecursiveCall on each path
out of its function, or the interpreter's recursion depth drifts with each failing call. The
check is structural: the guard is entered as `if (Py_EnterRecursiveCall(...)) { <failure> }`,
the failure branch does not leave, and the leave follows at the same block level with no jump
(return, goto, break, continue, throw) in between.
"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).parents[1] / "src"
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp", ".h", ".c"})

ENTER = re.compile(r"\bPy_EnterRecursiveCall\s*\(")
LEAVE = re.compile(r"\bPy_LeaveRecursiveCall\s*\(\s*\)\s*;")
JUMP = re.compile(r"\b(return|goto|break|continue|throw|longjmp)\b")
# What comes before the `{` of a function body: a parameter list, then qualifiers or a
# constructor's initialisers.
FUNCTION_HEAD = re.compile(r"\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(->\s*[\w:<>*&\s]+)?$")


def code_only(text: str) -> str:
    """`text` without comments and with string and character literals emptied."""
    return re.sub(
        r"//[^\n]*|/\*.*?\*/|\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])*'",
        lambda m: "" if m.group().startswith("/") else m.group()[0] * 2,
        text, flags=re.S,
    )


def matching(code: str, start: int, open_: str, close: str) -> int:
    """Index just past the bracket that closes the one at `start`."""
    depth = 0
    for i in range(start, len(code)):
        depth += {open_: 1, close: -1}.get(code[i], 0)
        if depth == 0:
            return i + 1
    raise ValueError("unbalanced brackets")


def function_bodies(code: str) -> list[str]:
    """The outermost code blocks: function bodies, outside namespaces, classes and data."""
    bodies, i = [], 0
    while (i := code.find("{", i)) >= 0:
        head = re.split(r"[;{}]", code[:i])[-1].strip()
        if FUNCTION_HEAD.search(head) and not head.rstrip().endswith("="):
            end = matching(code, i, "{", "}")
            bodies.append(code[i:end])
            i = end
        elif re.search(r"=\s*$", head):  # an initialiser: skip it whole
            i = matching(code, i, "{", "}")
        else:  # namespace, class, struct, enum: look inside
            i += 1
    return bodies


def guard_problems(code: str) -> list[str]:
    """What is wrong with the recursion guards in `code` (C++ without comments)."""
    problems = []
    bodies = function_bodies(code)
    found = sum(len(ENTER.findall(b)) for b in bodies)
    if found != len(ENTER.findall(code)) or sum(
            len(LEAVE.findall(b)) for b in bodies) != len(LEAVE.findall(code)):
        problems.append("a recursion guard outside any function body")
    for body in bodies:
        if len(ENTER.findall(body)) != len(LEAVE.findall(body)):
            problems.append("enters and leaves differ in number")
            continue
        for enter in ENTER.finditer(body):
            m = re.compile(r"if\s*\(\s*$").search(body, 0, enter.start())
            if m is None:
                problems.append("the guard's result is not tested by an `if`")
                continue
            condition_end = matching(body, m.end() - 1, "(", ")")
            branch = re.compile(r"\s*\{").match(body, condition_end)
            if branch is None:
                problems.append("the failure branch is not a block")
                continue
            branch_end = matching(body, branch.end() - 1, "{", "}")
            if LEAVE.search(body[branch.end():branch_end]):
                problems.append("the failure branch leaves a guard it never entered")
            leave = LEAVE.search(body, branch_end)
            if leave is None:
                problems.append("no leave after the guard")
                continue
            between = body[branch_end:leave.start()]
            if ENTER.search(between):
                problems.append("a second guard before the first is left")
            if JUMP.search(between):
                problems.append(f"`{JUMP.search(between).group()}` between enter and leave")
            depth = 0
            for ch in between:
                depth += {"{": 1, "}": -1}.get(ch, 0)
                if depth < 0:
                    break
            if depth != 0:
                problems.append("the leave is not at the guard's block level")
    return problems


GOOD = """
int f(Buffer* buf, PyObject* v) {
    if (Py_EnterRecursiveCall(" while x")) {
        return fail("f");
    }
    int status = g(buf, v);
    if (status == 0) { status = h(v); }
    Py_LeaveRecursiveCall();
    if (status < 0) {
        return -1;
    }
    return 0;
}
"""


@pytest.mark.parametrize(("code", "problem"), [
    (GOOD.replace("int status = g(buf, v);", "if (g(buf, v) < 0) { return -1; }"),
     "`return` between enter and leave"),
    (GOOD.replace("int status = g(buf, v);", "if (g(buf, v) < 0) goto done;"),
     "`goto` between enter and leave"),
    (GOOD.replace("    Py_LeaveRecursiveCall();\n", "    if (status) { Py_LeaveRecursiveCall(); }\n"),
     "the leave is not at the guard's block level"),
    (GOOD.replace("    Py_LeaveRecursiveCall();\n", ""), "enters and leaves differ in number"),
    (GOOD.replace("Py_LeaveRecursiveCall();", "Py_LeaveRecursiveCall(); Py_LeaveRecursiveCall();"),
     "enters and leaves differ in number"),
    (GOOD.replace('return fail("f");', 'Py_LeaveRecursiveCall(); return fail("f");').replace(
        "    Py_LeaveRecursiveCall();\n", ""), "the failure branch leaves a guard it never entered"),
    (GOOD.replace('if (Py_EnterRecursiveCall(" while x")) {\n        return fail("f");\n    }',
                  'Py_EnterRecursiveCall("");'), "the guard's result is not tested by an `if`"),
    ("#define GUARD Py_EnterRecursiveCall(\"\")\n" + GOOD,
     "a recursion guard outside any function body"),
], ids=["return", "goto", "conditional-leave", "no-leave", "two-leaves", "leave-on-failure",
        "untested", "in-a-macro"])
def test_lint_reports_unbalanced_guards(code, problem):
    assert guard_problems(GOOD) == []
    assert problem in guard_problems(code_only(code))


def test_lint_ignores_comments_and_strings():
    code = GOOD + '// Py_EnterRecursiveCall(\nconst char* s = "Py_LeaveRecursiveCall();";\n'
    assert guard_problems(code_only(code)) == []


def test_every_recursion_guard_is_left_once_on_every_path():
    guards = 0
    for path in SOURCES:
        code = code_only(path.read_text())
        assert guard_problems(code) == [], path.relative_to(SRC)
        guards += len(ENTER.findall(code))
    # The encoder's two containers at least; a check that found none would prove nothing.
    assert guards >= 2
