// The line editor of the menu's name and number prompts at a terminal.
#pragma once

#include <string>

// Editing keys, a history of the lines typed in this run, and Tab completing file and folder
// names relative to the current folder. It is on only when standard input and output are both
// terminals and the program was built with libedit; otherwise the menu reads lines itself.
class LineEditor {
  public:
    LineEditor();
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    bool on() const { return state_ != nullptr; }

    // Shows prompt and reads one line into *line, without its end of line. False when the
    // input ended before an end of line; *line then holds what was typed. A line too long for
    // the memory left reads as empty.
    bool Read(const char* prompt, std::string* line);

    struct State;  // the editor's own, in the source file

  private:
    State* state_ = nullptr;
};
