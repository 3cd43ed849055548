// Test helpers for the GTK2 window: main-loop pumping, dialogs, pictures and
// closing a window the way a window manager does.
#include "gtk_support.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "gui_gtk2.h"
#include "wire.h"

namespace test::gtk {

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

bool pump_until(const std::function<bool()> &pred)
{
    auto deadline = std::chrono::steady_clock::now() + test::patience;
    while (std::chrono::steady_clock::now() < deadline) {
        pump();
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

std::string label_text(GtkWidget *label)
{
    return gtk_label_get_text(GTK_LABEL(label));
}

bool image_shows(GtkWidget *image, const std::string &path)
{
    GdkPixbuf *shown = gtk_image_get_pixbuf(GTK_IMAGE(image));
    GdkPixbuf *wanted = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    bool same = shown && wanted && gdk_pixbuf_get_width(shown) == gdk_pixbuf_get_width(wanted) &&
                gdk_pixbuf_get_height(shown) == gdk_pixbuf_get_height(wanted) &&
                gdk_pixbuf_get_rowstride(shown) == gdk_pixbuf_get_rowstride(wanted) &&
                gdk_pixbuf_get_n_channels(shown) == gdk_pixbuf_get_n_channels(wanted) &&
                memcmp(gdk_pixbuf_get_pixels(shown), gdk_pixbuf_get_pixels(wanted),
                       static_cast<size_t>(gdk_pixbuf_get_rowstride(wanted) * gdk_pixbuf_get_height(wanted))) == 0;
    if (wanted)
        g_object_unref(wanted);
    return same;
}

bool screenshot(GtkWidget *window, const std::string &name)
{
    gdk_window_process_all_updates();
    pump();
    gdk_flush();
    int w = 0, h = 0;
    gdk_drawable_get_size(window->window, &w, &h);
    GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window->window, nullptr, 0, 0, 0, 0, w, h);
    if (!shot)
        return false;
    const std::string dir = std::string(VASK_BUILD_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    bool saved = gdk_pixbuf_save(shot, (dir + "/" + name + ".png").c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
    return saved;
}

dialog_answerer::dialog_answerer(GtkWidget *main_window, std::function<void()> before_answer)
    : main_window_(main_window), before_answer_(std::move(before_answer))
{
    source_ = g_timeout_add(5, poll, this);
}

dialog_answerer::~dialog_answerer()
{
    g_source_remove(source_);
}

gboolean dialog_answerer::poll(gpointer data)
{
    auto *self = static_cast<dialog_answerer *>(data);
    GList *windows = gtk_window_list_toplevels();
    for (GList *l = windows; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (!GTK_IS_MESSAGE_DIALOG(w) || !GTK_WIDGET_VISIBLE(w))
            continue;
        gchar *text = nullptr;
        GtkMessageType type;
        g_object_get(w, "text", &text, "message-type", &type, nullptr);
        self->seen_.push_back({gtk_window_get_title(GTK_WINDOW(w)), text ? text : "", type,
                               self->main_window_ && GTK_WIDGET_VISIBLE(self->main_window_)});
        g_free(text);
        if (self->before_answer_)
            self->before_answer_();
        const bool question = gtk_dialog_get_widget_for_response(GTK_DIALOG(w), GTK_RESPONSE_ACCEPT);
        gtk_dialog_response(GTK_DIALOG(w), question ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_OK);
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
}

namespace {

Window find_titled(Display *display, Window window, const std::string &title)
{
    char *name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        bool match = title == name;
        XFree(name);
        if (match)
            return window;
    }
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; i++)
            found = find_titled(display, children[i], title);
        if (children)
            XFree(children);
    }
    return found;
}

} // namespace

bool close_window(const std::string &title)
{
    std::unique_ptr<Display, int (*)(Display *)> display(XOpenDisplay(nullptr), XCloseDisplay);
    if (!display)
        return false;
    Window window = find_titled(display.get(), DefaultRootWindow(display.get()), title);
    if (!window)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display.get(), window, False, NoEventMask, &event);
    XFlush(display.get());
    return true;
}

void screen_centre(GtkWidget *widget, int &x, int &y)
{
    gdk_window_get_origin(widget->window, &x, &y);
    x += widget->allocation.x + widget->allocation.width / 2;
    y += widget->allocation.y + widget->allocation.height / 2;
}

GtkWidget *nested_notebook()
{
    GtkWidget *base = gtk_notebook_get_nth_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    GList *children = gtk_container_get_children(GTK_CONTAINER(base));
    GtkWidget *nested = nullptr;
    for (GList *l = children; l; l = l->next)
        if (GTK_IS_NOTEBOOK(l->data))
            nested = GTK_WIDGET(l->data);
    g_list_free(children);
    return nested;
}

} // namespace test::gtk
