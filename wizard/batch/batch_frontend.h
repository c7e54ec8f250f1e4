// The wizard without windows: it goes on as if the user pressed Next and
// then Finish, and writes every dialogue event to a stream as one JSON
// object per line. Message boxes are answered from a list.
#ifndef VSETUP_WIZARD_BATCH_FRONTEND_H
#define VSETUP_WIZARD_BATCH_FRONTEND_H

#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/frontend.h"

class BatchFrontEnd : public PlatFrontEnd {
public:
    // answers: the comma-separated list of VSETUP_ANSWERS ("ok", "cancel",
    // "yes", "no"), used in order; out receives the transcript.
    BatchFrontEnd(const char* answers, FILE* out);

    int MessageBox(const char* text, const char* caption, unsigned style) override;
    void SetItemText(PlatWindow page, int control, const char* text) override;
    PlatWindow CreateProgressBar(PlatWindow page) override;
    void SetProgressPos(PlatWindow bar, int position) override;
    void DestroyWindow(PlatWindow window) override;
    void SetFocus(PlatWindow window) override;
    void Launched(const char* commandLine, bool started) override;
    // Whether every event reached the stream.
    bool Written() const { return !failed_; }

private:
    void Emit(const std::string& json);

    std::vector<std::string> answers_;
    size_t nextAnswer_ = 0;
    FILE* out_;
    bool failed_ = false;
};

// Runs the wizard's whole installation with a batch front end. false when
// the transcript could not be written whole (the installation still ran to
// its end; writing stopped at the first failure).
bool RunBatchWizard(const char* answers, FILE* out);

// Text as a JSON string literal: Windows-1252 converted to UTF-8, escaped.
std::string JsonString(const char* text);

#endif
