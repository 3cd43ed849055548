// Helpers for tests of the assistant's window under a real X server.
#pragma once

#include <functional>
#include <gtk/gtk.h>
#include <string>
#include <vector>

namespace test::gtk {

// Runs pending main-loop work, then waits for pred while running it.
void pump();
bool pump_until(const std::function<bool()> &pred);

std::string label_text(GtkWidget *label);
// Whether the image shows exactly the picture in the file.
bool image_shows(GtkWidget *image, const std::string &path);
// Saves what the window shows to <build>/screenshots/name.png.
bool screenshot(GtkWidget *window, const std::string &name);

// Answers every message dialog that opens, and keeps what it showed: yes to a
// question (its button of GTK_RESPONSE_ACCEPT), OK to the rest. before_answer
// runs while the dialog is open.
struct seen_dialog {
    std::string title;
    std::string text;
    GtkMessageType type;
    bool main_window_visible; // whether the main window was on screen then
};

class dialog_answerer {
public:
    explicit dialog_answerer(GtkWidget *main_window, std::function<void()> before_answer = {});
    ~dialog_answerer();
    const std::vector<seen_dialog> &seen() const { return seen_; }

private:
    static gboolean poll(gpointer self);
    GtkWidget *main_window_;
    std::function<void()> before_answer_;
    guint source_;
    std::vector<seen_dialog> seen_;
};

// Asks the X server's window of the given title to close, as a window
// manager does (WM_DELETE_WINDOW). Returns whether such a window was found.
bool close_window(const std::string &title);

// Where a widget's centre is on the screen.
void screen_centre(GtkWidget *widget, int &x, int &y);

// The notebook of SysRq pages inside the Base Functions page of the window.
GtkWidget *nested_notebook();

} // namespace test::gtk
