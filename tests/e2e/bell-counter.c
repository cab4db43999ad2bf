/* Counts the X server's bells, so that the e2e driver can hear the client's beeps: Wine rings
 * the X bell for MessageBeep. Usage: bell-counter FILE. FILE always holds the count so far. */
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <stdio.h>

static int write_count(const char *path, unsigned long count)
{
    char temporary[4096];
    if (snprintf(temporary, sizeof temporary, "%s.new", path) >= (int)sizeof temporary)
        return -1;
    FILE *out = fopen(temporary, "w");
    if (out == NULL)
        return -1;
    fprintf(out, "%lu\n", count);
    if (fclose(out) != 0)
        return -1;
    /* Renamed into place, so that a reader never sees a half-written count. */
    return rename(temporary, path);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: bell-counter FILE\n");
        return 2;
    }
    int event_base = 0, error_base = 0, major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0;
    Display *display = XkbOpenDisplay(NULL, &event_base, &error_base, &major, &minor, &reason);
    if (display == NULL) {
        fprintf(stderr, "bell-counter: cannot open the display with XKB (reason %d)\n", reason);
        return 1;
    }
    if (!XkbSelectEvents(display, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask)) {
        fprintf(stderr, "bell-counter: the server will not report bells\n");
        return 1;
    }
    unsigned long count = 0;
    if (write_count(argv[1], count) != 0) {
        fprintf(stderr, "bell-counter: cannot write %s\n", argv[1]);
        return 1;
    }
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == event_base && ((XkbAnyEvent *)&event)->xkb_type == XkbBellNotify &&
            write_count(argv[1], ++count) != 0) {
            fprintf(stderr, "bell-counter: cannot write %s\n", argv[1]);
            return 1;
        }
    }
}
