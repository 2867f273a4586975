#!/usr/bin/python3
"""Records a short scripted interaction with a small application through MCP and replays it.

Starts a private X server with a window manager and the demo application, drives DiruriRediro over
its stdin/stdout like an agent would, and leaves the workspace (session directory, summary, replay
run with before/after screenshots) in the output folder.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def wait_for(condition, what: str, timeout: float = 15.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit(f"demo: timed out waiting for {what}")
        time.sleep(0.02)


def start_xvfb() -> tuple[subprocess.Popen, str]:
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
        pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    if not number:
        raise SystemExit("demo: Xvfb did not start")
    return xvfb, ":" + number


class Server:
    """One DiruriRediro process spoken to line by line."""

    def __init__(self, executable: str, env: dict) -> None:
        self.proc = subprocess.Popen([executable, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, text=True)
        self.next_id = 1

    def request(self, method: str, params: dict | None = None) -> dict:
        message = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            message["params"] = params
        self.next_id += 1
        self.proc.stdin.write(json.dumps(message) + "\n")
        self.proc.stdin.flush()
        answer = json.loads(self.proc.stdout.readline())
        if "error" in answer:
            raise SystemExit(f"demo: {method} failed: {answer['error']}")
        return answer["result"]

    def tool(self, name: str, **arguments) -> dict:
        result = self.request("tools/call", {"name": name, "arguments": arguments})
        return json.loads(result["content"][0]["text"])

    def close(self) -> str:
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        return self.proc.stderr.read()


def log_types(session_path: str) -> list[str]:
    with open(os.path.join(session_path, "events.jsonl"), encoding="utf-8") as f:
        return [json.loads(line)["type"] for line in f if line.strip()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True, help="path of the built DiruriRediro")
    parser.add_argument("--output", required=True, help="folder that receives the workspace")
    args = parser.parse_args()

    workspace = Path(args.output).resolve()
    if workspace.exists():
        shutil.rmtree(workspace)
    workspace.mkdir(parents=True)
    text_file = Path(tempfile.mkdtemp(prefix="diruri-demo-")) / "entry.txt"

    xvfb, display = start_xvfb()
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": display, "HOME": str(workspace),
           "GSETTINGS_BACKEND": "memory", "NO_AT_BRIDGE": "1"}
    helpers = []
    try:
        helpers.append(subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        # Debian's own Python: it has the GTK bindings.
        helpers.append(subprocess.Popen(["/usr/bin/python3", str(HERE / "demo_app.py"), str(text_file)], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(text_file.exists, "the demo window")
        xdotool = lambda *a: subprocess.run(["xdotool", *a], env=env, check=True)  # noqa: E731
        wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "Demo Notes"], env=env,
                                        capture_output=True).returncode == 0, "the demo window to map")

        server = Server(args.server, env)
        server.request("initialize", {"protocolVersion": "2024-11-05", "capabilities": {},
                                      "clientInfo": {"name": "demo", "version": "1"}})
        print("permissions:", json.dumps(server.tool("permission_status")))
        started = server.tool("event_stream_start", workspacePath=str(workspace), sessionName="Demo notes")
        print("recording:", started["sessionId"])

        # The scripted interaction: click into the field and type a word.
        xdotool("mousemove", "200", "75", "click", "1")
        xdotool("type", "--delay", "20", "hello")
        wait_for(lambda: text_file.read_text(encoding="utf-8") == "hello", "the typed text")
        wait_for(lambda: log_types(started["sessionPath"]).count("key_up") >= 5, "the key events in the log")

        stopped = server.tool("event_stream_stop")
        print("summary:", stopped["summaryPath"])

        # The recording made into a skill an agent can read, and replayed by its id.
        generated = server.tool("generate_skill_from_recording", workspacePath=str(workspace),
                                sessionId=stopped["sessionId"], skillId="demo-notes")
        print("skill:", generated["skillPath"])
        print((Path(generated["skillPath"]) / "SKILL.md").read_text(encoding="utf-8"))
        # A click at the recorded place within the double-click time of the recorded click would be
        # taken for a double click (selecting the word), as a person's would; so the demo waits.
        time.sleep(0.5)
        replayed = server.tool("replay_skill", workspacePath=str(workspace), skillId="demo-notes")
        print("replay run:", replayed["runPath"])
        wait_for(lambda: text_file.read_text(encoding="utf-8") == "hellohello", "the replayed text")
        print("field after replay:", text_file.read_text(encoding="utf-8"))
        stderr = server.close()
        if stderr:
            raise SystemExit(f"demo: the server wrote to stderr: {stderr!r}")
        print(f"done: look at {workspace}/.zeruva")
        return 0
    finally:
        for p in reversed(helpers):
            p.terminate()
            p.wait(timeout=10)
        xvfb.terminate()
        xvfb.wait(timeout=10)
        shutil.rmtree(text_file.parent, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
