#!/usr/bin/env python3
"""The operator's guide documents every record the service can write, and
the service's description as the package installs it.

Every error text the code passes to the event log must have its row in the
guide's error table, and every catalog text (eventlog/messages.def, all three
languages) must appear in the guide, so a record added to the code or a text
changed in the catalog cannot go undocumented. The description of the
package's ServiceInstall (installer/HexlornS.wxs, with the maker's name from
CMakeLists.txt) must be quoted in the guide as it is.

Statements of the guide, the README and the companion developers' document
about what the service does are held to the code that does it: each row
below reads the code for its fact (a branch, an order, a constant) and wants
the documents' words for that fact, with the numbers taken from the code. A
change to the code that breaks a fact fails its row until the documents have
been read again and the row follows the code.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True  # run from the build: leave no bytecode in the source tree
sys.path.insert(0, str(ROOT / "eventlog"))
import catalog  # noqa: E402

SYSTEM_FOLDERS = ("service", "cards", "sessions", "forceclose", "eventlog")
DOCUMENTS = {"guide": "docs/operators-guide.md", "README": "README.md", "developers": "docs/companion-developers.md"}


def error_texts():
    texts = set()
    for folder in SYSTEM_FOLDERS:
        for source in (ROOT / folder).glob("*.cpp"):
            texts |= set(re.findall(r'(?:ReportServiceEvent|ReportFailure)\(L"([^"]+)"',
                                    source.read_text(encoding="utf-8")))
    return texts


def catalog_texts():
    """Every catalog text in every language, as the guide shows it: without its line end."""
    return [text.replace("\r\n", "") for message in catalog.read() for text in message.texts.values()]


def service_description():
    maker = re.search(r'set\(HEXLORN_MANUFACTURER "([^"]+)"\)', (ROOT / "CMakeLists.txt").read_text(encoding="utf-8"))
    package = (ROOT / "installer" / "HexlornS.wxs").read_text(encoding="utf-8")
    description = re.search(r'<ServiceInstall [^>]*Description="([^"]+)"', package)
    return description.group(1).replace("$(var.Manufacturer)", maker.group(1))


def code(path):
    return (ROOT / path).read_text(encoding="utf-8")


def body(path, function):
    """The text of a function defined in `path`, from its signature to its closing brace."""
    match = re.search(rf"^\S[^\n;]*\b{function}\([^;{{]*\)\s*\{{\n(.*?)^\}}", code(path), re.M | re.S)
    return match.group(1) if match else ""


def constants():
    """Every integral constant of the system code (`constexpr ... kName = expression;`), its value worked out."""
    found = {}
    for folder in SYSTEM_FOLDERS:
        for source in sorted((ROOT / folder).glob("*.[ch]*")):
            found.update(re.findall(r"constexpr \w+ (k\w+) = ([^;]+);", source.read_text(encoding="utf-8")))
    values = {}
    for _ in found:
        for name, expression in found.items():
            try:
                values[name] = eval(expression, {"__builtins__": {}}, dict(values))
            except (NameError, SyntaxError):
                pass
    return values


def before(text, first, second):
    return first in text and second in text and text.index(first) < text.index(second)


def seconds(milliseconds):
    return f"{milliseconds / 1000:g}"


def statements():
    """(what, whether the code shows it, words the documents must have, words they must not have)."""
    k = constants()
    events, launcher, run = "cards/device_events.cpp", "sessions/launcher.cpp", "service/run.cpp"
    tail = re.search(r'companionTail\[\] = L"([^"]+)"', code(launcher)).group(1).replace("\\\\", "\\")
    removed, arrived = body(events, "CardRemoved"), body(events, "CardArrived")
    handler = body(events, "HandleDeviceEvent")
    stop_case = re.search(r"case SERVICE_CONTROL_STOP:(.*?)return", code("service/service.cpp"), re.S).group(1)
    answer = seconds(k.get("kSweepBudgetMs", 0) + k.get("kTerminateWaitMs", 0))
    return [
        ("a remove-complete sweeps only when no query-remove came first",
         re.search(r"MSG_REMOVE_COMPLETE\);\s*if \(!entry->closed\) \{\s*RunForceCloseSweep", removed),
         [("guide", "After a query-remove (event 3) the companion windows have already let go and are not asked "
                    "again."),
          ("guide", "the service now has the force-close helper make them let go, for the first time in this removal"),
          ("README", "A remove-complete sweeps only when no query-remove came first (a surprise removal).")],
         [("guide", "let go once more")]),
        ("an arrival is any interface of the card, of any class",
         "DEVICE_NOTIFY_ALL_INTERFACE_CLASSES" in body("cards/registry.cpp", "RegisterInterfaceNotification")
         and "classguid" not in code(events) and "MSG_DEVICE_ARRIVAL" in arrived,
         [("guide", "the first of a card's interfaces to appear, of any interface class and not only its audio "
                    "interface")],
         []),
        ("a later sweep that ends the kept helper again writes \"TerminateProcess\" alone",
         "return EndHelper(helper);" in body(launcher, "UnendedHelperGone")
         and 'ReportFailure(L"TerminateProcess")' in body(launcher, "EndHelper")
         and "WaitForSingleObject\")" not in body(launcher, "EndHelper"),
         [("guide", "a later sweep that ends the kept helper again and finds it still there writes it alone"),
          ("README", 'a later sweep that still finds it writes "TerminateProcess" alone')],
         [("guide", 'Always follows a "WaitForSingleObject" record')]),
        ("\"CreateProcessAsUser\" also when the companion's path cannot be built",
         re.search(r"if \(!BuildCompanionPath\(path\)\) \{\s*ReportFailure\(L\"CreateProcessAsUser\"\)",
                   body(launcher, "LaunchCompanion"))
         and "CSIDL_PROGRAM_FILES" in body(launcher, "BuildCompanionPath")
         and "+ 1 > MAX_PATH" in body(launcher, "BuildCompanionPath"),
         [("guide", "the Program Files folder cannot be found, or the whole path with its terminating null would be "
                    f"longer than 260 characters (a Program Files folder longer than {260 - len(tail) - 1} "
                    "characters)"),
          ("developers", "(the Program Files folder unknown, or the whole path with its terminating null over 260 "
                         "characters)")],
         []),
        ("a query-remove is answered within the sweep's budget and one wait for an ended helper",
         "kSweepBudgetMs" in k and "kTerminateWaitMs" in k,
         [("guide", f"it answers within about {answer} s of the request reaching it"),
          ("guide", f"A removal is therefore answered within about {answer} s of reaching the service"),
          ("README", f"A query-remove is answered within about {answer} s of reaching the handler"),
          ("developers", f"a removal is answered within about {answer} s")],
         []),
        ("status reports set while another is on its way go out with it; stopped is the last",
         "reportSetAgain = true;" in code("service/service.cpp")
         and re.search(r"== SERVICE_STOPPED\) \{\s*return false;", code("service/service.cpp")),
         [("README", "a report set while another is on its way is left to the thread sending that one"),
          ("README", "Stopped is the last report: nothing is reported after it.")],
         []),
        ("the walk ends early where it could not come back",
         re.search(r"savedStation == NULL\) \{[^}]*return TRUE;", code("forceclose/walk.cpp"))
         and re.search(r"savedDesktop == NULL\) \{\s*return TRUE;", code("forceclose/walk.cpp"))
         and re.search(r"!SetProcessWindowStation\(station\)\) \{[^}]*return TRUE;", code("forceclose/walk.cpp"))
         and "strandedDesktop = desktop;" in code("forceclose/walk.cpp"),
         [("README", "without a window station of its own to return to it visits no other station"),
          ("README", "without a desktop to return to it skips that desktop"),
          ("README", "a station it cannot enter is skipped without a record"),
          ("README", "stays the thread's desktop until the station visit ends")],
         []),
        ("a removal while the stop sweeps that card finds no entry",
         before(body(run, "TakeFirstCard"), "CardList->next = entry->next;", "ReleaseSRWLockExclusive")
         and "RunForceCloseSweep(entry," in body(run, "RunService"),
         [("README", "A removal asked for while the stop sweeps a card finds no entry for it and is refused by the "
                     "service's own handle, until the stop closes it."),
          ("guide", "is refused by the service's own handle and writes no record at all")],
         []),
        ("a later arrival reopens a listed card without a handle",
         re.search(r"listed->deviceHandle == INVALID_HANDLE_VALUE\) \{.*?ReopenCardInterface\(listed\);", arrived,
                   re.S),
         [("README", "A later arrival of any of its interfaces reopens any listed card without a handle"),
          ("guide", "if that card's open failed (its audio interface was not active yet when it arrived, or its open "
                    "at start-up or its reopen after a refused removal failed), the service opens it then")],
         []),
        ("a handle broadcast is credited by its registration alone",
         "notifyHandle" in body("cards/registry.cpp", "FindCardByHandle")
         and "deviceHandle" not in body("cards/registry.cpp", "FindCardByHandle"),
         [("README", "A handle broadcast is credited by its registration alone (`dbch_hdevnotify`)")],
         []),
        ("start-up registers for arrivals before it lists the cards",
         before(body(run, "RunService"), "RegisterInterfaceNotification()", "ScanPresentCards()")
         and before(body(run, "RunService"), 'L"RegisterDeviceNotification"', "ScanPresentCards()"),
         [("guide", "The service registers for arriving interfaces before it lists the cards"),
          ("guide", 'no card is listed (no "Found device" record), none is opened, no companion is started'),
          ("README", "registers for arriving interfaces (all classes) before it lists the present cards")],
         []),
        ("a card whose open failed gets no handle notification",
         "IsOpenHandle(entry->deviceHandle) ? RegisterHandleNotification(entry->deviceHandle) : NULL"
         in body("cards/registry.cpp", "OpenInterface"),
         [("README", "A card whose open failed holds no handle notification"),
          ("guide", "it gets no handle notification either")],
         []),
        ("the stop has one budget from the stop request",
         "kStopBudgetMs" in k and "GetTickCount64" in stop_case,
         [("guide", f"A stop has one budget of {seconds(k.get('kStopBudgetMs', 0))} s from the stop request for all "
                    "its cards together, and the service reports `STOPPED` within 25 s"),
          ("guide", f"a stop has {seconds(k.get('kStopBudgetMs', 0))} s from the stop request for all its cards, and "
                    "writes one such record for each card whose sweep found them spent with sessions left"),
          ("README", f"The stop has one budget, {seconds(k.get('kStopBudgetMs', 0))} s from the stop request")],
         []),
        ("a removal's sweep counts from when the request reached the handler",
         before(handler, "SweepDeadline()", "AcquireSRWLockExclusive(&cardListLock)")
         and "GetTickCount64() + kSweepBudgetMs" in body(launcher, "SweepDeadline"),
         [("guide", f"A removal's sweep has {seconds(k.get('kSweepBudgetMs', 0))} s, counted from when the request "
                    "reached the service, before any wait for another sweep"),
          ("README", "counted from when the request reached the handler, before any wait for the card-list lock or "
                     "for another sweep")],
         []),
        ("no helper is started with less than its start cost left",
         "kHelperStartMs" in k and "kHelperStartMs" in body(launcher, "TimeLeftForHelper")
         and code(launcher).count("TimeLeftForHelper(deadline)") >= 2,
         [("guide", f"no copy is started with less than {seconds(k.get('kHelperStartMs', 0))} s of them left"),
          ("README", f"A helper is started only with at least {seconds(k.get('kHelperStartMs', 0))} s of the sweep "
                     "left")],
         []),
    ]


def statement_problems():
    documents = {name: " ".join((ROOT / path).read_text(encoding="utf-8").split()) for name, path in DOCUMENTS.items()}
    problems = []
    for what, shown, wanted, unwanted in statements():
        if not shown:
            problems.append(f"the code does not show that {what}: read the documents again and make the row "
                            "follow the code")
            continue
        problems += [f"{document} lacks, for '{what}': {words!r}" for document, words in wanted
                     if words not in documents[document]]
        problems += [f"{document} still says, against '{what}': {words!r}" for document, words in unwanted
                     if words in documents[document]]
    return problems


def main():
    guide = (ROOT / "docs" / "operators-guide.md").read_text(encoding="utf-8")
    rows = set(re.findall(r"^\| ([A-Za-z]+) \|", guide, re.M))
    errors = error_texts()
    problems = [f"error record {text!r} has no row in the guide" for text in sorted(errors - rows)]
    problems += [f"catalog text {text!r} is not in the guide" for text in catalog_texts() if text not in guide]
    description = service_description()
    if f'"{description}"' not in guide:
        problems.append(f"the service's description {description!r} is not quoted in the guide")
    if len(errors) < 10 or len(catalog_texts()) != 18:
        problems.append(f"found {len(errors)} error texts and {len(catalog_texts())} catalog texts: "
                        "the scan no longer reads the code")
    problems += statement_problems()
    for problem in problems:
        print(problem)
    print(f"{len(errors)} error texts, {len(catalog_texts())} catalog texts, {len(statements())} statements checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
