// DRIVE.EXE: runs VSETUP.EXE the way a user would and writes down what it
// shows.
//
//   DRIVE.EXE VSETUP.EXE DISK TRANSCRIPT STEPS ANSWERS TIMEOUT
//
// e.g. DRIVE.EXE C:\VSETUP.EXE A:\ Z:\log.jsonl next,finish yes,ok 120
//
// VSETUP.EXE starts with DISK as its current directory. The driver works the
// wizard through the steps (next, back, finish, cancel), each once the page
// it belongs to is showing and its button is enabled, or through keys typed
// as a user types them (tab, shift-tab, enter, esc, alt-n, alt-b), each once
// the page showing has settled; "focus" writes down which control of the
// wizard has the keyboard focus, "panel" whether the page holds its logo
// panel whole, "texts" the page's static texts, and "finish-typeahead"
// presses Finish and at once types Enter and Esc, which wait in the queue
// while the files are copied. It answers every
// message box of the installer from the answers list; when the list is used
// up (or the next one fits no button of the box), an OK box gets OK,
// OK/Cancel gets Cancel and Yes/No gets No. The answer "esc" types Esc into
// the box and writes down whether that closed it; a box still up then gets
// what a used-up list gives. Message
// boxes go to the transcript as JSON lines, in the batch transcript's form;
// VHOOK.DLL adds what happens inside the installer (status lines and
// progress).
//
// Exit code: VSETUP.EXE's, or 200 (usage), 201 (could not start), 202 (time
// out: the installer is ended), 203 (a step could not be done).
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "json_line.h"

namespace {

const wchar_t kWizardCaption[] = L"Vorel Setup Wizard";
const int kBackButton = 0x3023;
const int kNextButton = 0x3024;
const int kFinishButton = 0x3025;
const int kMessageTextControl = 0xFFFF;
const int kFinishStatusControl = 1001;
// How long a page shows before the driver acts on it: the page's own posted
// button changes and its first paint come first.
const DWORD kSettleMs = 400;

struct Options {
    std::wstring exe, dir, log;
    std::vector<std::wstring> steps, answers;
    DWORD timeoutMs = 120000;
};

// Splits a comma-separated list; an empty item still takes its turn.
std::vector<std::wstring> SplitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        size_t comma = std::min(text.find(L',', start), text.size());
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

bool ParseOptions(Options* options) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count != 7) return false;
    options->exe = args[1];
    options->dir = args[2];
    options->log = args[3];
    options->steps = SplitList(args[4]);
    options->answers = SplitList(args[5]);
    options->timeoutMs = static_cast<DWORD>(_wtoi(args[6])) * 1000;
    LocalFree(args);
    return true;
}

bool HasStyle(HWND window, LONG style) { return (GetWindowLongW(window, GWL_STYLE) & style) == style; }

struct TopLevelSearch {
    DWORD process;
    std::vector<HWND> dialogs;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<TopLevelSearch*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->process && IsWindowVisible(window) && ClassOf(window) == L"#32770")
        search->dialogs.push_back(window);
    return TRUE;
}

// The visible dialog windows of the installer, top-level.
std::vector<HWND> InstallerDialogs(DWORD process) {
    TopLevelSearch search{process, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.dialogs;
}

bool IsWizard(HWND dialog) {
    return GetDlgItem(dialog, kNextButton) != nullptr && GetDlgItem(dialog, kFinishButton) != nullptr;
}

HWND FindWizard(DWORD process) {
    HWND byStructure = nullptr;
    for (HWND dialog : InstallerDialogs(process)) {
        if (!IsWizard(dialog)) continue;
        if (WindowText(dialog) == kWizardCaption) return dialog;
        byStructure = dialog;
    }
    return byStructure;
}

// Types one key, with Alt or Shift held when asked, into the window that
// has the focus: the wizard or a box of the installer's, made the foreground
// window first.
void TypeKey(HWND window, BYTE key, BYTE modifier = 0) {
    SetForegroundWindow(window);
    if (modifier) keybd_event(modifier, 0, 0, 0);
    keybd_event(key, 0, 0, 0);
    keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
    if (modifier) keybd_event(modifier, 0, KEYEVENTF_KEYUP, 0);
}

// ------------------------------------------------------------ message boxes

bool ButtonShown(HWND box, int id) {
    HWND button = GetDlgItem(box, id);
    return button != nullptr && HasStyle(button, WS_VISIBLE);
}

BOOL CALLBACK FindIcon(HWND child, LPARAM found) {
    if (ClassOf(child) != L"Static" || !HasStyle(child, WS_VISIBLE) ||
        (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || SendMessageW(child, STM_GETICON, 0, 0) == 0)
        return TRUE;
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

class BoxAnswerer {
public:
    BoxAnswerer(const std::vector<std::wstring>& answers, const std::wstring& log) : answers_(answers), log_(log) {}

    // Answers every new message box of the installer. Returns true when one
    // was answered.
    bool AnswerBoxes(DWORD process) {
        bool answered = false;
        for (auto it = done_.begin(); it != done_.end();) {
            if (!IsWindow(*it))
                it = done_.erase(it);
            else
                ++it;
        }
        for (HWND box : InstallerDialogs(process)) {
            if (IsWizard(box) || done_.count(box) != 0) continue;
            HWND text = GetDlgItem(box, kMessageTextControl);
            if (text == nullptr) continue;
            Answer(box, text);
            done_.insert(box);
            answered = true;
        }
        return answered;
    }

private:
    void Answer(HWND box, HWND text) {
        // Each kind of box by its buttons; the first of each is what the box
        // gets when the answers are used up or the next one names no button.
        struct Kind {
            const char* name;
            int ids[2];
            const wchar_t* names[2];
        };
        static const Kind kinds[] = {{"yesno", {IDNO, IDYES}, {L"no", L"yes"}},
                                     {"okcancel", {IDCANCEL, IDOK}, {L"cancel", L"ok"}},
                                     {"ok", {IDOK, IDOK}, {L"ok", L"ok"}},
                                     {"unknown", {IDOK, IDOK}, {L"ok", L"ok"}}};
        const Kind* kind = kinds;
        while (kind->name != std::string("unknown") &&
               !(ButtonShown(box, kind->ids[0]) && ButtonShown(box, kind->ids[1])))
            ++kind;
        const std::string buttons = kind->name;
        const std::wstring given = next_ < answers_.size() ? answers_[next_++] : L"";
        int pick = given == kind->names[1] ? 1 : 0;
        const int id = kind->ids[pick];
        const std::wstring answer = given == L"esc" ? given : kind->names[pick];
        bool icon = false;
        EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&icon));
        // The event is written before the box is answered: whatever the
        // installer does next comes after it.
        AppendLine(log_, "{\"event\":\"message\",\"caption\":" + JsonString(WindowText(box)) + ",\"text\":" +
                             JsonString(WindowText(text)) + ",\"buttons\":\"" + buttons + "\",\"icon\":\"" +
                             (icon ? "error" : "none") + "\",\"answer\":" + JsonString(answer) + "}");
        if (given == L"esc") {
            // A second for the box to close, where Esc closes it.
            TypeKey(box, VK_ESCAPE);
            Sleep(1000);
            const bool closed = !IsWindow(box) || !IsWindowVisible(box);
            AppendLine(log_, std::string("{\"event\":\"escape\",\"closed\":") + (closed ? "true" : "false") + "}");
            if (closed) return;
        }
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    }

    std::vector<std::wstring> answers_;
    size_t next_ = 0;
    std::wstring log_;
    std::set<HWND> done_;
};

// ------------------------------------------------------------ the wizard

enum Page { kNoPage, kWelcomePage, kFinishPage, kAnyPage };

Page CurrentPage(HWND wizard) {
    auto page = reinterpret_cast<HWND>(SendMessageW(wizard, PSM_GETCURRENTPAGEHWND, 0, 0));
    if (page == nullptr) return kNoPage;
    return GetDlgItem(page, kFinishStatusControl) != nullptr ? kFinishPage : kWelcomePage;
}

// The wizard's control that has the keyboard focus, as the focus event:
// its id (0 when no control has it) and whether it is enabled and shown.
std::string FocusEvent(HWND wizard) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(wizard, nullptr);
    HWND focus = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
    bool ours = focus != nullptr && (focus == wizard || IsChild(wizard, focus));
    char line[128];
    std::snprintf(line, sizeof line, "{\"event\":\"focus\",\"control\":%d,\"usable\":%s}",
                  ours ? GetDlgCtrlID(focus) : 0,
                  ours && IsWindowEnabled(focus) && IsWindowVisible(focus) ? "true" : "false");
    return line;
}

// Whether the page showing holds its logo panel whole, as the panel event.
std::string PanelEvent(HWND wizard) {
    auto page = reinterpret_cast<HWND>(SendMessageW(wizard, PSM_GETCURRENTPAGEHWND, 0, 0));
    HWND panel = page ? FindWindowExW(page, nullptr, L"BmpWClass", nullptr) : nullptr;
    RECT inside = {}, drawn = {}, both = {};
    if (panel != nullptr) {
        GetClientRect(page, &inside);
        MapWindowPoints(page, nullptr, reinterpret_cast<POINT*>(&inside), 2);
        GetWindowRect(panel, &drawn);
        IntersectRect(&both, &inside, &drawn);
    }
    bool whole = panel != nullptr && EqualRect(&both, &drawn);
    return std::string("{\"event\":\"panel\",\"whole\":") + (whole ? "true" : "false") + "}";
}

BOOL CALLBACK CollectText(HWND child, LPARAM texts) {
    if (ClassOf(child) == L"Static") reinterpret_cast<std::vector<std::wstring>*>(texts)->push_back(WindowText(child));
    return TRUE;
}

// The static texts of the page showing, in their order on it, as the texts
// event.
std::string TextsEvent(HWND wizard) {
    auto page = reinterpret_cast<HWND>(SendMessageW(wizard, PSM_GETCURRENTPAGEHWND, 0, 0));
    std::vector<std::wstring> texts;
    if (page != nullptr) EnumChildWindows(page, CollectText, reinterpret_cast<LPARAM>(&texts));
    std::string line = std::string("{\"event\":\"texts\",\"page\":\"") +
                       (CurrentPage(wizard) == kFinishPage ? "finish" : "welcome") + "\",\"texts\":[";
    for (const std::wstring& text : texts) line += JsonString(text) + (&text == &texts.back() ? "" : ",");
    return line + "]}";
}

bool ButtonReady(HWND wizard, int id) {
    HWND button = GetDlgItem(wizard, id);
    return button != nullptr && IsWindowVisible(button) && IsWindowEnabled(button);
}

void Note(const char* text) {
    std::fprintf(stderr, "DRIVE: %s\n", text);
    std::fflush(stderr);
}

}  // namespace

int main() {
    Options options;
    if (!ParseOptions(&options)) {
        Note("usage: DRIVE.EXE VSETUP.EXE DISK TRANSCRIPT STEPS ANSWERS TIMEOUT");
        return 200;
    }

    // VHOOK.DLL comes from DRIVE.EXE's own directory, which is searched first.
    HMODULE observer = LoadLibraryW(L"VHOOK.DLL");
    auto watch = observer
                     ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(observer, "WatchCallWndRet")))
                     : nullptr;
    if (watch == nullptr) Note("VHOOK.DLL not loaded: status lines and progress are not recorded");
    SetEnvironmentVariableW(VSETUP_DRIVE_LOG_VARIABLE, options.log.c_str());

    std::wstring command = L"\"" + options.exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(options.exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        options.dir.c_str(), &startup, &process)) {
        Note("cannot start the installer");
        return 201;
    }
    HHOOK hook = watch ? SetWindowsHookExW(WH_CALLWNDPROCRET, watch, observer, process.dwThreadId) : nullptr;
    if (watch != nullptr && hook == nullptr) Note("cannot hook the installer's thread");
    ResumeThread(process.hThread);

    BoxAnswerer answerer(options.answers, options.log);
    size_t step = 0;
    Page expected = kWelcomePage;
    Page seen = kNoPage;
    DWORD seenSince = 0;
    DWORD start = GetTickCount();
    int result = -1;
    bool failed = false;

    for (;;) {
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) break;
        if (GetTickCount() - start > options.timeoutMs) {
            Note("time out: ending the installer");
            AppendLine(options.log, "{\"event\":\"timeout\"}");
            TerminateProcess(process.hProcess, 202);
            WaitForSingleObject(process.hProcess, 5000);
            result = 202;
            break;
        }
        if (answerer.AnswerBoxes(process.dwProcessId)) continue;
        if (step >= options.steps.size()) continue;

        HWND wizard = FindWizard(process.dwProcessId);
        if (wizard == nullptr) continue;
        Page page = CurrentPage(wizard);
        if (page != seen) {
            seen = page;
            seenSince = GetTickCount();
        }
        if ((expected != kAnyPage && page != expected) || page == kNoPage || GetTickCount() - seenSince < kSettleMs)
            continue;
        const std::wstring& action = options.steps[step];
        // Keys and looks act on whatever page shows once it has settled.
        struct KeyStep {
            const wchar_t* name;
            BYTE key, modifier;
        };
        const KeyStep keys[] = {{L"tab", VK_TAB, 0},    {L"shift-tab", VK_TAB, VK_SHIFT}, {L"enter", VK_RETURN, 0},
                                {L"esc", VK_ESCAPE, 0}, {L"alt-n", 'N', VK_MENU},         {L"alt-b", 'B', VK_MENU}};
        const KeyStep* typed = nullptr;
        for (const KeyStep& key : keys)
            if (action == key.name) typed = &key;
        if (typed != nullptr || action == L"focus" || action == L"panel" || action == L"texts") {
            if (typed != nullptr)
                TypeKey(wizard, typed->key, typed->modifier);
            else
                AppendLine(options.log, action == L"focus"   ? FocusEvent(wizard)
                                        : action == L"panel" ? PanelEvent(wizard)
                                                             : TextsEvent(wizard));
            expected = kAnyPage;
            seen = kNoPage;  // the next step waits for the page to settle again
            ++step;
            continue;
        }
        if (action == L"finish-typeahead" && page == kFinishPage && ButtonReady(wizard, kFinishButton)) {
            PostMessageW(wizard, PSM_PRESSBUTTON, PSBTN_FINISH, 0);
            // Once the installer is busy with the run, Enter and Esc.
            for (int wait = 0; wait < 100 && FindWizard(process.dwProcessId) == wizard &&
                               SendMessageTimeoutW(wizard, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5, nullptr) != 0;
                 ++wait)
                Sleep(5);
            TypeKey(wizard, VK_RETURN);
            TypeKey(wizard, VK_ESCAPE);
            expected = kNoPage;
            ++step;
            continue;
        }
        int button = -1, needs = -1;
        Page after = page;
        if (action == L"next" && page == kWelcomePage) {
            button = PSBTN_NEXT;
            needs = kNextButton;
            after = kFinishPage;
        } else if (action == L"back" && page == kFinishPage) {
            button = PSBTN_BACK;
            needs = kBackButton;
            after = kWelcomePage;
        } else if (action == L"finish" && page == kFinishPage) {
            button = PSBTN_FINISH;
            needs = kFinishButton;
            after = kNoPage;
        } else if (action == L"cancel") {
            button = PSBTN_CANCEL;
            after = kNoPage;
        } else {
            Note("a step does not fit the page showing");
            failed = true;
            step = options.steps.size();
            continue;
        }
        if (needs != -1 && !ButtonReady(wizard, needs)) continue;
        PostMessageW(wizard, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
        expected = after;
        ++step;
    }

    DWORD code = 0;
    if (result < 0) {
        GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<int>(code);
    }
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (step < options.steps.size()) {
        Note("the installer ended before all steps were done");
        failed = true;
    }
    std::printf("exit %d\n", result);
    std::fflush(stdout);
    return failed && result < 200 ? 203 : result;
}
