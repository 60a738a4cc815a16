/* SPDX-License-Identifier: MIT */
/*
 * input-noise: input devices through uinput that make what boards make beside
 * a recovery key, for the booted tests of the recovery gate. Started before
 * the gate, in the background; each argument adds a device or a setting:
 *
 *   with=KEY       every device below also has KEY among its keys (never
 *                  pressed), as a board's gpio-keys node has its power key, so
 *                  that a program waiting for KEY opens it and hears its noise
 *   switch=SW      a switch (SW_LID, SW_HEADPHONE_INSERT) that reports itself
 *                  on when it is first opened, as gpio-keys does
 *   touch          a touchscreen: three touches (BTN_TOUCH, ABS_X/Y/PRESSURE)
 *                  once it is opened
 *   keyboard=KEY   a keyboard sending KEY twice once opened: scan code, press,
 *                  two repeats, release
 *   late=KEY       a device with KEY alone, made two seconds after the first
 *                  open of any /dev/input/event node (the wait's start), which
 *                  presses and releases KEY once it is opened itself (or 3 s
 *                  after it was made, opened or not)
 *
 * Each device's noise starts when its node is opened (inotify's IN_OPEN on
 * /dev/input, which names the node: one opened as soon as it appears is seen
 * too), and again at a later open if no process had the node open when the
 * noise ended (by /proc/PID/fd: inotify folds two opens in a row into one, so
 * it cannot count readers). It says on standard output what it sent and
 * whether the node was open then, and once every device's noise was so heard:
 * a test needs to know that the noise reached the program it tests. It goes
 * into the background once it has made its first devices, and ends 60 s after
 * it started, taking its devices with it. Names are those of
 * linux/input-event-codes.h; numbers work too.
 */
#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <glob.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#define LIFETIME_MS 60000
#define LATE_AFTER_MS 2000
#define LATE_PRESS_BY_MS 3000

/* One step of a device's noise: an event, written `after` ms after the one
 * before it. */
struct step {
    int after, type, code, value;
};

enum { NOISE_LEN = 40 };

struct device {
    const char *what; /* as the output names it */
    int fd, prop;
    int heard; /* a whole noise sent while a reader had the node open */
    char node[64]; /* /dev/input/eventN */
    struct step noise[NOISE_LEN];
    int steps, next; /* next < 0: no noise under way */
    long due;
};

static const struct {
    const char *name;
    int code;
} names[] = {
    {"KEY_ESC", KEY_ESC},         {"KEY_A", KEY_A},
    {"KEY_F", KEY_F},             {"KEY_ENTER", KEY_ENTER},
    {"KEY_VOLUMEDOWN", KEY_VOLUMEDOWN}, {"KEY_VOLUMEUP", KEY_VOLUMEUP},
    {"KEY_POWER", KEY_POWER},     {"KEY_HOME", KEY_HOME},
    {"BTN_0", BTN_0},             {"SW_LID", SW_LID},
    {"SW_HEADPHONE_INSERT", SW_HEADPHONE_INSERT},
};

static void say(const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0)
        return;
    if (n > (int)sizeof line - 2)
        n = sizeof line - 2;
    line[n++] = '\n';
    /* one write per line: the console is shared with the gate */
    if (write(STDOUT_FILENO, line, n) < 0)
        return;
}

static void die(const char *what)
{
    say("input-noise: %s: %s", what, strerror(errno));
    exit(1);
}

static long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

static int code_of(const char *text)
{
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (strcmp(text, names[i].name) == 0)
            return names[i].code;
    char *end;
    long n = strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0' || n < 0 || n > KEY_MAX) {
        say("input-noise: unknown code %s", text);
        exit(2);
    }
    return (int)n;
}

static const char *name_of(int code, int type)
{
    static char number[16];
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (names[i].code == code && (names[i].name[0] == 'S') == (type == EV_SW))
            return names[i].name;
    snprintf(number, sizeof number, "%d", code);
    return number;
}

/* Whether another process has `node` open now. */
static int open_elsewhere(const char *node)
{
    DIR *proc = opendir("/proc");
    if (proc == NULL)
        die("/proc");
    int found = 0;
    char self[16];
    snprintf(self, sizeof self, "%d", (int)getpid());
    for (struct dirent *p; !found && (p = readdir(proc)) != NULL;) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || strcmp(p->d_name, self) == 0)
            continue;
        char folder[300], link[600], target[128];
        snprintf(folder, sizeof folder, "/proc/%s/fd", p->d_name);
        DIR *fds = opendir(folder);
        if (fds == NULL)
            continue; /* gone, or a kernel thread's */
        for (struct dirent *f; !found && (f = readdir(fds)) != NULL;) {
            snprintf(link, sizeof link, "%s/%s", folder, f->d_name);
            ssize_t n = readlink(link, target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                found = strcmp(target, node) == 0;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

static void add(struct device *d, int after, int type, int code, int value)
{
    if (d->steps == NOISE_LEN) {
        say("input-noise: %s: too much noise", d->what);
        exit(2);
    }
    d->noise[d->steps++] = (struct step){after, type, code, value};
}

static void add_key(struct device *d, int after, int code, int value, int scan)
{
    if (scan)
        add(d, after, EV_MSC, MSC_SCAN, 0x70000 + code);
    add(d, scan ? 0 : after, EV_KEY, code, value);
    add(d, 0, EV_SYN, SYN_REPORT, 0);
}

static void emit(int fd, int type, int code, int value)
{
    struct input_event e;
    memset(&e, 0, sizeof e);
    e.type = type;
    e.code = code;
    e.value = value;
    if (write(fd, &e, sizeof e) != sizeof e)
        die("write to uinput");
}

/* Makes the device with the event types and codes of its noise (absolute
 * axes 0..4095, pressure 0..255), `keys` more keys, and its property. */
static void create(struct device *d, const char *name, const int *keys, int nkeys)
{
    d->fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK);
    if (d->fd < 0)
        die("/dev/uinput");
    ioctl(d->fd, UI_SET_EVBIT, EV_SYN);
    for (int i = 0; i < nkeys; i++) {
        ioctl(d->fd, UI_SET_EVBIT, EV_KEY);
        ioctl(d->fd, UI_SET_KEYBIT, keys[i]);
    }
    for (int i = 0; i < d->steps; i++) {
        const struct step *s = &d->noise[i];
        ioctl(d->fd, UI_SET_EVBIT, s->type);
        if (s->type == EV_KEY)
            ioctl(d->fd, UI_SET_KEYBIT, s->code);
        else if (s->type == EV_SW)
            ioctl(d->fd, UI_SET_SWBIT, s->code);
        else if (s->type == EV_MSC)
            ioctl(d->fd, UI_SET_MSCBIT, s->code);
        else if (s->type == EV_ABS) {
            struct uinput_abs_setup abs;
            memset(&abs, 0, sizeof abs);
            abs.code = s->code;
            abs.absinfo.maximum = s->code == ABS_PRESSURE ? 255 : 4095;
            ioctl(d->fd, UI_SET_ABSBIT, s->code);
            if (ioctl(d->fd, UI_ABS_SETUP, &abs) < 0)
                die("UI_ABS_SETUP");
        }
    }
    if (d->prop)
        ioctl(d->fd, UI_SET_PROPBIT, d->prop);
    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1;
    snprintf(setup.name, sizeof setup.name, "%s", name);
    if (ioctl(d->fd, UI_DEV_SETUP, &setup) < 0 || ioctl(d->fd, UI_DEV_CREATE) < 0)
        die("making a uinput device");
    /* the evdev node: the one eventN folder in the input device's sysfs
     * folder (made with the device, before UI_DEV_CREATE returned) */
    char sysname[64], pattern[128];
    if (ioctl(d->fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0)
        die("UI_GET_SYSNAME");
    snprintf(pattern, sizeof pattern, "/sys/devices/virtual/input/%s/event*", sysname);
    glob_t found;
    if (glob(pattern, 0, NULL, &found) != 0 || found.gl_pathc != 1) {
        say("input-noise: %s: no event node in %s", d->what, pattern);
        exit(1);
    }
    snprintf(d->node, sizeof d->node, "/dev/input/%s", strrchr(found.gl_pathv[0], '/') + 1);
    globfree(&found);
    d->next = -1;
    say("input-noise: %s \"%s\" is %s", d->what, name, d->node);
}

int main(int argc, char **argv)
{
    static struct device devices[8];
    int ndevices = 0, with[4], nwith = 0, late_key = -1;
    for (int i = 1; i < argc; i++) {
        char *arg = argv[i], *value = strchr(arg, '=');
        if (value)
            *value++ = '\0';
        if (strcmp(arg, "with") == 0 && value && nwith < 4) {
            with[nwith++] = code_of(value);
        } else if (strcmp(arg, "switch") == 0 && value) {
            struct device *d = &devices[ndevices];
            ndevices++;
            d->what = "switch";
            add(d, 50, EV_SW, code_of(value), 1);
            add(d, 0, EV_SYN, SYN_REPORT, 0);
        } else if (strcmp(arg, "touch") == 0 && !value) {
            struct device *d = &devices[ndevices];
            ndevices++;
            d->what = "touchscreen";
            d->prop = INPUT_PROP_DIRECT;
            for (int t = 0; t < 3; t++) {
                add(d, t ? 200 : 50, EV_KEY, BTN_TOUCH, 1);
                add(d, 0, EV_ABS, ABS_X, 1000 + 500 * t);
                add(d, 0, EV_ABS, ABS_Y, 2000);
                add(d, 0, EV_ABS, ABS_PRESSURE, 100);
                add(d, 0, EV_SYN, SYN_REPORT, 0);
                add(d, 50, EV_ABS, ABS_X, 1100 + 500 * t);
                add(d, 0, EV_SYN, SYN_REPORT, 0);
                add(d, 50, EV_KEY, BTN_TOUCH, 0);
                add(d, 0, EV_ABS, ABS_PRESSURE, 0);
                add(d, 0, EV_SYN, SYN_REPORT, 0);
            }
        } else if (strcmp(arg, "keyboard") == 0 && value) {
            struct device *d = &devices[ndevices];
            int key = code_of(value);
            ndevices++;
            d->what = "keyboard";
            for (int t = 0; t < 2; t++) {
                add_key(d, t ? 300 : 50, key, 1, 1);
                add_key(d, 100, key, 2, 0);
                add_key(d, 100, key, 2, 0);
                add_key(d, 100, key, 0, 1);
            }
        } else if (strcmp(arg, "late") == 0 && value) {
            late_key = code_of(value);
        } else {
            say("input-noise: unknown argument %s", argv[i]);
            return 2;
        }
        if (ndevices == 7) {
            say("input-noise: too many devices");
            return 2;
        }
    }
    /* every open and close of a node, before any device is made */
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, "/dev/input", IN_OPEN) < 0)
        die("inotify on /dev/input");
    for (int i = 0; i < ndevices; i++) {
        struct device *d = &devices[i];
        char name[64];
        snprintf(name, sizeof name, "input-noise %s", d->what);
        create(d, name, with, nwith);
    }
    /* on in the background, the devices made: what starts it goes on once they are there */
    pid_t child = fork();
    if (child < 0)
        die("fork");
    if (child > 0)
        return 0;

    struct device *late = &devices[ndevices];
    long started = now_ms(), window = -1, late_made = -1;
    int late_pressed = 0, all_heard = 0;
    for (;;) {
        long now = now_ms(), due = started + LIFETIME_MS;
        if (now >= due)
            return 0;
        for (int i = 0; i < ndevices + (late_made >= 0); i++)
            if (devices[i].next >= 0 && devices[i].due < due)
                due = devices[i].due;
        if (late_key >= 0 && window >= 0 && late_made < 0 && window + LATE_AFTER_MS < due)
            due = window + LATE_AFTER_MS;
        if (late_made >= 0 && !late_pressed && late->next < 0 && late_made + LATE_PRESS_BY_MS < due)
            due = late_made + LATE_PRESS_BY_MS;
        struct pollfd p = {watch, POLLIN, 0};
        int ready = poll(&p, 1, (int)(due > now ? due - now : 0));
        if (ready < 0 && errno != EINTR)
            die("poll");
        if (ready > 0) {
            char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
            ssize_t n = read(watch, buffer, sizeof buffer);
            for (char *at = buffer; n > 0 && at < buffer + n;) {
                const struct inotify_event *e = (const struct inotify_event *)at;
                at += sizeof *e + e->len;
                if (e->len == 0 || (e->mask & IN_ISDIR) || strncmp(e->name, "event", 5) != 0)
                    continue;
                /* the wait's start: the first open of any event node */
                if (window < 0 && (e->mask & IN_OPEN))
                    window = now_ms();
                for (int i = 0; i <= ndevices; i++) {
                    struct device *d = &devices[i];
                    if (i == ndevices && late_made < 0)
                        break;
                    if (strcmp(e->name, strrchr(d->node, '/') + 1) != 0)
                        continue;
                    if (d->next < 0 && !d->heard && !(d == late && late_pressed)) {
                        d->next = 0;
                        d->due = now_ms() + d->noise[0].after;
                    }
                }
            }
        }
        now = now_ms();
        for (int i = 0; i <= ndevices; i++) {
            struct device *d = &devices[i];
            if (i == ndevices && late_made < 0)
                break;
            while (d->next >= 0 && d->due <= now) {
                const struct step *s = &d->noise[d->next];
                emit(d->fd, s->type, s->code, s->value);
                if (d == late && s->type == EV_KEY && s->value == 1) {
                    late_pressed = 1;
                    say("input-noise: late key: %s pressed, %s", name_of(late_key, EV_KEY),
                        open_elsewhere(d->node) ? "its node open" : "its node not open");
                }
                if (++d->next == d->steps) {
                    d->next = -1;
                    if (d == late)
                        continue;
                    d->heard = open_elsewhere(d->node);
                    if (d->noise[0].type == EV_SW)
                        say("input-noise: switch: %s on, %s", name_of(d->noise[0].code, EV_SW),
                            d->heard ? "its node open" : "its node closed");
                    else
                        say("input-noise: %s: noise sent, %s", d->what, d->heard ? "its node open" : "its node closed");
                    int all = 1;
                    for (int j = 0; j < ndevices; j++)
                        all = all && devices[j].heard;
                    if (all && !all_heard) {
                        all_heard = 1;
                        say("input-noise: every device's noise sent, its node open");
                    }
                } else {
                    d->due += d->noise[d->next].after;
                }
            }
        }
        if (late_key >= 0 && window >= 0 && late_made < 0 && now >= window + LATE_AFTER_MS) {
            late->what = "late key";
            add_key(late, 100, late_key, 1, 0);
            add_key(late, 100, late_key, 0, 0);
            create(late, "input-noise late key", NULL, 0);
            late_made = now_ms();
        }
        if (late_made >= 0 && !late_pressed && late->next < 0 && now >= late_made + LATE_PRESS_BY_MS) {
            late->next = 0; /* never opened: pressed all the same, for no one */
            late->due = now;
        }
    }
}
