#!/usr/bin/python3
"""Runs the demo into a temporary folder and checks that it left what it says: a stopped session
with its summary, and a replay run with before and after screenshots of the whole screen."""
import json
import struct
import subprocess
import sys
import tempfile
from pathlib import Path


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    assert data[12:16] == b"IHDR"
    assert data[-8:-4] == b"IEND", f"{path} is cut short"
    return struct.unpack(">II", data[16:24])


def main() -> None:
    server, demo = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "demo-output"
        run = subprocess.run(["/usr/bin/python3", demo, "--server", server, "--output", str(out)],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stdout + run.stderr
        assert "field after replay: hellohello" in run.stdout, run.stdout
        # The skill it generated, printed as it was written.
        skill = (out / ".zeruva/skills/demo-notes/SKILL.md").read_text()
        assert skill in run.stdout and skill.startswith("---\nname: demo-notes\n"), run.stdout
        assert '2. Type "hello"' in skill, skill

        sessions = list((out / ".zeruva/record-and-replay/sessions").iterdir())
        assert len(sessions) == 1
        session = sessions[0]
        meta = json.loads((session / "session.json").read_text())
        assert meta["status"] == "stopped" and meta["platform"] == "linux"
        summary = json.loads((session / "summary.json").read_text())
        assert summary["apps"] == ["DemoNotes"], summary["apps"]
        assert summary["windows"] == ["Demo Notes"], summary["windows"]
        intents = [s["intent"] for s in summary["steps"]]
        assert intents == ["Replay mouse_down.", "Replay mouse_up."] + ["Replay key_down.", "Replay key_up."] * 5, intents
        for marker in ("start-1.png",):
            assert png_size(session / "screenshots" / marker) == (1024, 768)

        runs = list((out / ".zeruva/record-and-replay/replay-runs").iterdir())
        assert len(runs) == 1
        record = json.loads((runs[0] / "run.json").read_text())
        assert record["status"] == "success" and len(record["steps"]) == 12
        before, after = runs[0] / "screenshots/before.png", runs[0] / "screenshots/after.png"
        assert record["screenshots"] == [str(before), str(after)]
        assert png_size(before) == (1024, 768) and png_size(after) == (1024, 768)
        # The replay typed the word again, so the screen after it is not the screen before it.
        assert before.read_bytes() != after.read_bytes()


if __name__ == "__main__":
    main()
