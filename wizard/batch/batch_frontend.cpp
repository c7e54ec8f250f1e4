#include "wizard/batch/batch_frontend.h"

#include <cstring>

#include "wizard/cp1252.h"
#include "installer/run_install.h"

namespace {

// The one page and the one progress bar of the batch wizard.
int g_page;
int g_progressBar;

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string JsonString(const char* text) {
    std::string utf8 = Cp1252ToUtf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

BatchFrontEnd::BatchFrontEnd(const char* answers, FILE* out) : out_(out) {
    std::string list = answers ? answers : "";
    size_t start = 0;
    while (!list.empty() && start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        answers_.push_back(Trimmed(list.substr(start, comma - start)));
        start = comma + 1;
    }
}

void BatchFrontEnd::Emit(const std::string& json) {
    // After a failed write nothing more goes out: a later line could only
    // appear without the ones before it.
    if (failed_) return;
    if (std::fputs(json.c_str(), out_) < 0 || std::fputc('\n', out_) == EOF || std::fflush(out_) != 0) failed_ = true;
}

int BatchFrontEnd::MessageBox(const char* text, const char* caption, unsigned style) {
    struct Button {
        const char* name;
        int id;
    };
    static const Button kOk[] = {{"ok", PLAT_IDOK}};
    static const Button kOkCancel[] = {{"cancel", PLAT_IDCANCEL}, {"ok", PLAT_IDOK}};
    static const Button kYesNo[] = {{"no", PLAT_IDNO}, {"yes", PLAT_IDYES}};
    const Button* buttons = kOk;
    size_t count = 1;
    const char* kind = "ok";
    if ((style & 0xF) == PLAT_MB_OKCANCEL) {
        buttons = kOkCancel;
        count = 2;
        kind = "okcancel";
    } else if ((style & 0xF) == PLAT_MB_YESNO) {
        buttons = kYesNo;
        count = 2;
        kind = "yesno";
    }
    // The first button of each list is what a box gets when the answers are
    // used up or do not fit it.
    const Button* chosen = &buttons[0];
    if (nextAnswer_ < answers_.size()) {
        const std::string& answer = answers_[nextAnswer_++];
        for (size_t i = 0; i < count; ++i) {
            if (answer == buttons[i].name) chosen = &buttons[i];
        }
    }
    Emit(std::string("{\"event\":\"message\",\"caption\":") + JsonString(caption) + ",\"text\":" + JsonString(text) +
         ",\"buttons\":\"" + kind + "\",\"icon\":\"" + ((style & PLAT_MB_ICONERROR) ? "error" : "none") +
         "\",\"answer\":\"" + chosen->name + "\"}");
    return chosen->id;
}

void BatchFrontEnd::SetItemText(PlatWindow, int control, const char* text) {
    Emit("{\"event\":\"status\",\"control\":" + std::to_string(control) + ",\"text\":" + JsonString(text) + "}");
}

PlatWindow BatchFrontEnd::CreateProgressBar(PlatWindow) { return &g_progressBar; }

void BatchFrontEnd::SetProgressPos(PlatWindow, int position) {
    Emit("{\"event\":\"progress\",\"position\":" + std::to_string(position) + "}");
}

void BatchFrontEnd::DestroyWindow(PlatWindow) {}
void BatchFrontEnd::SetFocus(PlatWindow) {}

void BatchFrontEnd::Launched(const char* commandLine, bool started) {
    Emit(std::string("{\"event\":\"launch\",\"command\":") + JsonString(commandLine) +
         ",\"started\":" + (started ? "true" : "false") + "}");
}

bool RunBatchWizard(const char* answers, FILE* out) {
    BatchFrontEnd front(answers, out);
    {
        PlatFrontEndGuard guard(&front);
        // Next, then Finish: the welcome page has nothing to do, Finish runs it all.
        RunInstall(&g_page);
    }
    return front.Written();
}
