// vask-shot: saves what the X server's screen shows to a PNG file.
//   vask-shot FILE
#include <cstdio>
#include <gtk/gtk.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: vask-shot FILE\n");
        return 2;
    }
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "vask-shot: no X display\n");
        return 1;
    }
    GdkWindow *root = gdk_get_default_root_window();
    int w = 0, h = 0;
    gdk_drawable_get_size(root, &w, &h);
    GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, root, nullptr, 0, 0, 0, 0, w, h);
    GError *error = nullptr;
    if (!shot || !gdk_pixbuf_save(shot, argv[1], "png", &error, nullptr)) {
        fprintf(stderr, "vask-shot: %s\n", error ? error->message : "cannot read the screen");
        return 1;
    }
    g_object_unref(shot);
    return 0;
}
