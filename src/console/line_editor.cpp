// The line editor at a terminal, on libedit: emacs keys, history, file name completion.
#include "console/line_editor.h"

#ifdef ZOREL_LINE_EDITOR

#include <histedit.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "report/shown.h"

struct LineEditor::State {
    EditLine* editor = nullptr;
    History* history = nullptr;
    HistEvent event{};
    std::string prompt;
};

namespace {

// The user's character set (UTF-8, say) while the editor works, so that names beyond ASCII
// are edited as characters; the rest of the program keeps the "C" one.
class UserCharacters {
  public:
    UserCharacters() {
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        if (current != nullptr) saved_ = current;
        std::setlocale(LC_CTYPE, "");
    }
    ~UserCharacters() { std::setlocale(LC_CTYPE, saved_.empty() ? "C" : saved_.c_str()); }

  private:
    std::string saved_;
};

LineEditor::State* StateOf(EditLine* editor) {
    void* state = nullptr;
    el_get(editor, EL_CLIENTDATA, &state);
    return static_cast<LineEditor::State*>(state);
}

char* Prompt(EditLine* editor) {
    return StateOf(editor)->prompt.data();
}

// Adds to *names the items of folder ("" for the current one) whose names begin with part, a
// folder's with its "/"; hidden ones only when part begins with ".". False when memory ran out.
bool NamesIn(const std::string& folder, const std::string& part, std::vector<std::string>* names) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    try {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == ".." || name.compare(0, part.size(), part) != 0) continue;
            if (name[0] == '.' && part.empty()) continue;
            const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            names->push_back(isFolder ? name + "/" : name);
        } while (FindNextFileA(search, &found));
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    FindClose(search);
    return ok;
}

// Tab: the text before the cursor is a path; its last part is completed from the names in its
// folder, as far as they agree. When nothing can be added and several names fit, they are
// listed under the line.
unsigned char Complete(EditLine* editor, int) try {
    const LineInfo* line = el_line(editor);
    const std::string typed(line->buffer, line->cursor);
    const std::string folder = typed.substr(0, typed.rfind('/') + 1);  // "" for a bare name
    const std::string part = typed.substr(folder.size());
    std::vector<std::string> names;
    if (!NamesIn(folder, part, &names)) return CC_REFRESH_BEEP;
    if (names.empty()) return CC_REFRESH_BEEP;
    std::sort(names.begin(), names.end());
    // Sorted, the names agree as far as the first and the last do.
    const std::string& first = names.front();
    const std::string& last = names.back();
    std::size_t agreed = 0;
    while (agreed < first.size() && agreed < last.size() && first[agreed] == last[agreed]) ++agreed;
    if (agreed > part.size()) {
        el_insertstr(editor, first.substr(part.size(), agreed - part.size()).c_str());
        return CC_REFRESH;
    }
    if (names.size() == 1) return CC_REFRESH;
    std::fputc('\n', stdout);
    for (const std::string& name : names) std::printf("%s  ", Shown(stdout, name).c_str());
    std::fputc('\n', stdout);
    return CC_REDISPLAY;
} catch (const std::bad_alloc&) {
    return CC_REFRESH_BEEP;
}

}  // namespace

LineEditor::LineEditor() {
    if (!platform::IsTerminal(stdin) || !platform::IsTerminal(stdout)) return;
    auto* state = new (std::nothrow) State;
    if (state == nullptr) return;
    UserCharacters characters;
    state->editor = el_init("zorel", stdin, stdout, stderr);
    state->history = history_init();
    if (state->editor == nullptr || state->history == nullptr) {
        if (state->editor != nullptr) el_end(state->editor);
        if (state->history != nullptr) history_end(state->history);
        delete state;
        return;
    }
    history(state->history, &state->event, H_SETSIZE, 1000);
    history(state->history, &state->event, H_SETUNIQUE, 1);
    el_set(state->editor, EL_CLIENTDATA, state);
    el_set(state->editor, EL_EDITOR, "emacs");
    el_set(state->editor, EL_SIGNAL, 1);  // the terminal is set back when a signal ends us
    el_set(state->editor, EL_PROMPT, Prompt);
    el_set(state->editor, EL_HIST, history, state->history);
    // The wide call: the narrow one leaves copies of these two names behind at el_end.
    el_wset(state->editor, EL_ADDFN, L"zorel-complete", L"Complete a file or folder name",
            Complete);
    el_set(state->editor, EL_BIND, "^I", "zorel-complete", nullptr);
    state_ = state;
}

LineEditor::~LineEditor() {
    if (state_ == nullptr) return;
    el_end(state_->editor);
    history_end(state_->history);
    delete state_;
}

bool LineEditor::Read(const char* prompt, std::string* line) {
    std::fflush(stdout);
    UserCharacters characters;
    int count = 0;
    const char* text = nullptr;
    try {
        state_->prompt = prompt;
        text = el_gets(state_->editor, &count);
        line->clear();
        if (text == nullptr || count <= 0) return false;
        const bool whole = text[count - 1] == '\n';
        line->assign(text, static_cast<std::size_t>(whole ? count - 1 : count));
        if (!line->empty()) history(state_->history, &state_->event, H_ENTER, line->c_str());
        return whole;
    } catch (const std::bad_alloc&) {
        std::string().swap(*line);
        return text == nullptr || text[count - 1] == '\n';
    }
}

#else  // built without libedit: the menu reads its lines itself

struct LineEditor::State {};

LineEditor::LineEditor() = default;
LineEditor::~LineEditor() = default;

bool LineEditor::Read(const char*, std::string* line) {
    line->clear();
    return false;
}

#endif
