/* log_delay.c - an LD_PRELOAD interposer that makes every open and every close of the
 * program's log file (a name ending in "log.txt") cost KQ_LOG_DELAY_US microseconds,
 * the way a virus scanner that inspects a file on open and on close makes it cost on
 * a technician's laptop. Nothing else is slowed.
 *
 *   KQ_LOG_DELAY_US=3000 LD_PRELOAD=build/linux/kq_log_delay.so build/linux/kqsfupdt
 *
 * With KQ_LOG_DELAY_TALLY=FILE every delayed open and close also appends a line
 * "open" or "close" to FILE, so a check can count them.
 *
 * Built by the Linux build (build/linux/kq_log_delay.so); used by
 * bench/bench_update.py --log-delay=US and by the end-to-end checks.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define TRACKED_FDS 65536
static volatile char LogFd[TRACKED_FDS]; /* 1 while the descriptor is the log's */

static int IsLog(const char *path)
{
    size_t n = path ? strlen(path) : 0;
    return n >= 7 && strcmp(path + n - 7, "log.txt") == 0;
}

static void Tally(const char *What)
{
    static __typeof__(open) *raw_open;
    static __typeof__(close) *raw_close;
    const char *file = getenv("KQ_LOG_DELAY_TALLY");
    if (!file)
        return;
    if (!raw_open) {
        raw_open = (__typeof__(open) *)dlsym(RTLD_NEXT, "open");
        raw_close = (__typeof__(close) *)dlsym(RTLD_NEXT, "close");
    }
    int fd = raw_open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[16];
    int n = snprintf(line, sizeof line, "%s\n", What);
    if (write(fd, line, (size_t)n) < 0) {
    }
    raw_close(fd);
}

static void Delay(const char *What)
{
    Tally(What);
    const char *text = getenv("KQ_LOG_DELAY_US");
    long us = text ? atol(text) : 0;
    if (us <= 0)
        return;
    struct timespec t = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0) {
    }
}

static void Track(int fd, const char *path)
{
    if (fd >= 0 && fd < TRACKED_FDS)
        LogFd[fd] = (char)IsLog(path);
}

static int Untrack(int fd)
{
    if (fd < 0 || fd >= TRACKED_FDS || !LogFd[fd])
        return 0;
    LogFd[fd] = 0;
    return 1;
}

#define NEXT(name) static __typeof__(name) *next_##name; \
    if (!next_##name) next_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

static mode_t ModeOf(int flags, va_list values)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(values, int) : 0;
}

int open(const char *path, int flags, ...)
{
    NEXT(open);
    va_list values;
    va_start(values, flags);
    mode_t mode = ModeOf(flags, values);
    va_end(values);
    if (IsLog(path))
        Delay("open");
    int fd = next_open(path, flags, mode);
    Track(fd, path);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    NEXT(open64);
    va_list values;
    va_start(values, flags);
    mode_t mode = ModeOf(flags, values);
    va_end(values);
    if (IsLog(path))
        Delay("open");
    int fd = next_open64(path, flags, mode);
    Track(fd, path);
    return fd;
}

int openat(int dir, const char *path, int flags, ...)
{
    NEXT(openat);
    va_list values;
    va_start(values, flags);
    mode_t mode = ModeOf(flags, values);
    va_end(values);
    if (IsLog(path))
        Delay("open");
    int fd = next_openat(dir, path, flags, mode);
    Track(fd, path);
    return fd;
}

/* The C library's streams open and close their descriptor inside the library, out of
 * the interposer's reach: fopen and fclose are caught themselves. */
FILE *fopen(const char *path, const char *mode)
{
    NEXT(fopen);
    if (IsLog(path))
        Delay("open");
    FILE *f = next_fopen(path, mode);
    if (f)
        Track(fileno(f), path);
    return f;
}

FILE *fopen64(const char *path, const char *mode)
{
    NEXT(fopen64);
    if (IsLog(path))
        Delay("open");
    FILE *f = next_fopen64(path, mode);
    if (f)
        Track(fileno(f), path);
    return f;
}

int fclose(FILE *f)
{
    NEXT(fclose);
    int log = f ? Untrack(fileno(f)) : 0;
    int result = next_fclose(f);
    if (log)
        Delay("close");
    return result;
}

int close(int fd)
{
    NEXT(close);
    int log = Untrack(fd);
    int result = next_close(fd);
    if (log)
        Delay("close");
    return result;
}
