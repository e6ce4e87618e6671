# The benchmark's sections: one that lacks a library or a command is skipped with a line saying how to get it.
import sys
import textwrap
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

SECTION = """
NEEDS = {needs}
TOOLS = {tools}

def run(ctx):
    return ["ran with " + str(ctx)], {problems}
"""


@pytest.fixture
def bench(monkeypatch, tmp_path):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    monkeypatch.syspath_prepend(str(tmp_path))
    import bench

    def write(name, needs="{}", tools="{}", problems="[]"):
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(SECTION.format(needs=needs, tools=tools,
                                                                            problems=problems)))
        sys.modules.pop(name, None)
        return name

    yield bench, write


@pytest.mark.parametrize("needs, tools, lacking", [
    ("{'no_such_module_kavo': 'no-such-dist'}", "{}", "no_such_module_kavo (pip install no-such-dist"),
    ("{'json.no_such_part': 'json-part'}", "{}", "json.no_such_part (pip install json-part"),
    ("{'json': 'json'}", "{'no-such-tool-kavo': 'no-such-package'}",
     "the no-such-tool-kavo command (apt-get install no-such-package)"),
])
@pytest.mark.parametrize("require_all", [False, True])
def test_missing_need_skips_the_section_alone(bench, needs, tools, lacking, require_all):
    bench, write = bench
    names = [write("fine_section"), write("lacking_section", needs, tools)]
    lines, problems = bench.run_sections(names, "CTX", require_all)
    assert lines[0] == "ran with CTX"  # the section that has what it needs still runs
    assert any(line.startswith("- skipped section lacking_section: missing ") and lacking in line for line in lines)
    assert len(problems) == require_all  # a problem, failing the run, only where every need is required
    assert all(p.startswith("lacking_section: missing ") and lacking in p for p in problems)


def test_section_problems_and_crashes_are_not_skipped(bench):
    bench, write = bench
    lines, problems = bench.run_sections([write("wrong_bytes", problems="['kavo wrote wrong bytes']")], None, False)
    assert problems == ["wrong_bytes: kavo wrote wrong bytes"]
    crash = write("crashing", problems="1 / 0")
    with pytest.raises(ZeroDivisionError):
        bench.run_sections([crash], None, False)
