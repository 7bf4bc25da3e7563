/* A card that misbehaves on demand: one file, MOUNTPOINT/card, served over FUSE from a sparse
 * image, with faults a control file switches on and off while it is served. A loop device over
 * the file (with direct I/O) stands in for a failing card in a reader.
 *
 *   fault_file [--status FILE] IMAGE CONTROL MOUNTPOINT
 *
 * The control file is read again whenever it changes (its inode, size or time), so a test
 * replaces it (write a new file, rename it over) to change the faults. One directive a line,
 * offsets and lengths in bytes of the card, '#' starts a comment:
 *
 *   error OFFSET LENGTH   a read or write touching the range fails with EIO
 *   write_error OFFSET LENGTH  a write or zeroing touching the range fails with EIO; reads
 *                         give what the range holds (a counterfeit card whose controller
 *                         refuses writes past its real part)
 *   fail_after BYTES      once BYTES were written in all, every write fails with EIO
 *   drop OFFSET LENGTH    writes touching the range are acknowledged but not stored
 *   flip OFFSET LENGTH    bytes read from the range come back inverted
 *   delay MS              every request waits MS milliseconds first
 *   hang                  every request waits until the control file no longer says so
 *   hang_after BYTES      once BYTES were written in all, writes wait as under hang
 *   hang_statfs           the file system's size queries (statfs: a volume's free space)
 *                         wait as under hang
 *   no_fallocate          discard and zeroing (fallocate) fail with EOPNOTSUPP
 *   wraparound BYTES [SPARE]  a counterfeit card holding only its first BYTES: past them,
 *                         bytes are kept (read, written, zeroed) at their offset mod BYTES; with
 *                         SPARE, its first SPARE bytes stay out of the wrap: past BYTES, offset o
 *                         is kept at SPARE + (o - SPARE) mod (BYTES - SPARE)
 *   limbo BYTES           the same, but past them writes and zeroing are acknowledged and
 *                         lost, and reads give zeros
 *   lost_ones             a limbo card's lost part reads 0xFF, as erased flash does
 *
 * With --status, FILE is rewritten (renamed into place) after each write and each change in
 * the number of waiting requests: "written BYTES" and "hanging N" lines. Runs in the
 * foreground until unmounted; several requests are served at once, so a waiting one keeps no
 * other from being answered. */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#define MOST_RANGES 16
#define CARD_NAME "card"

struct range {
    uint64_t first, length;
};

struct faults {
    struct range errors[MOST_RANGES], drops[MOST_RANGES], flips[MOST_RANGES],
        write_errors[MOST_RANGES];
    int nerrors, ndrops, nflips, nwrite_errors;
    uint64_t fail_after, hang_after; /* UINT64_MAX: off */
    unsigned delay_ms;
    int hang, hang_statfs, no_fallocate;
    uint64_t real;  /* a counterfeit card's real part; 0: none */
    uint64_t spare; /* what a wraparound card keeps out of its wrap */
    int limbo;      /* past it writes are lost; else they wrap around */
    int lost_ones;  /* the lost part reads 0xFF */
};

static int image = -1;
static uint64_t image_bytes;
static const char *control_path, *status_path;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct faults now; /* as the control file said when last read */
static struct stat control_seen;
static uint64_t written; /* bytes written in all, stored or dropped */
static unsigned hanging;

static void add_range(struct range* list, int* count, uint64_t first, uint64_t length) {
    if (*count < MOST_RANGES) list[(*count)++] = (struct range){first, length};
}

static void parse_control(FILE* in, struct faults* f) {
    memset(f, 0, sizeof *f);
    f->fail_after = f->hang_after = UINT64_MAX;
    char line[256], word[32];
    while (fgets(line, sizeof line, in)) {
        char* hash = strchr(line, '#');
        if (hash) *hash = '\0';
        uint64_t a = 0, b = 0;
        const int n = sscanf(line, "%31s %" SCNu64 " %" SCNu64, word, &a, &b);
        if (n < 1) continue;
        if (!strcmp(word, "error") && n == 3) add_range(f->errors, &f->nerrors, a, b);
        else if (!strcmp(word, "write_error") && n == 3)
            add_range(f->write_errors, &f->nwrite_errors, a, b);
        else if (!strcmp(word, "drop") && n == 3) add_range(f->drops, &f->ndrops, a, b);
        else if (!strcmp(word, "flip") && n == 3) add_range(f->flips, &f->nflips, a, b);
        else if (!strcmp(word, "fail_after") && n == 2) f->fail_after = a;
        else if (!strcmp(word, "hang_after") && n == 2) f->hang_after = a;
        else if (!strcmp(word, "delay") && n == 2) f->delay_ms = (unsigned)a;
        else if (!strcmp(word, "hang")) f->hang = 1;
        else if (!strcmp(word, "hang_statfs")) f->hang_statfs = 1;
        else if (!strcmp(word, "no_fallocate")) f->no_fallocate = 1;
        else if (!strcmp(word, "lost_ones")) f->lost_ones = 1;
        else if (!strcmp(word, "wraparound") && (n == 2 || (n == 3 && b < a)) && a > 0) {
            f->real = a;
            f->spare = n == 3 ? b : 0;
        } else if (!strcmp(word, "limbo") && n == 2 && a > 0) {
            f->real = a;
            f->limbo = 1;
        }
        else fprintf(stderr, "fault_file: %s: not understood: %s", control_path, line);
    }
}

/* The faults as the control file says now; read again only when it changed. Under the lock. */
static void refresh(void) {
    struct stat st;
    if (stat(control_path, &st) != 0) {
        memset(&now, 0, sizeof now);
        now.fail_after = now.hang_after = UINT64_MAX;
        memset(&control_seen, 0, sizeof control_seen);
        return;
    }
    if (st.st_ino == control_seen.st_ino && st.st_size == control_seen.st_size &&
        st.st_mtim.tv_sec == control_seen.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == control_seen.st_mtim.tv_nsec)
        return;
    FILE* in = fopen(control_path, "r");
    if (!in) return;
    parse_control(in, &now);
    fclose(in);
    control_seen = st;
}

static void write_status(void) {
    if (!status_path) return;
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.new", status_path);
    FILE* out = fopen(temporary, "w");
    if (!out) return;
    fprintf(out, "written %" PRIu64 "\nhanging %u\n", written, hanging);
    if (fclose(out) == 0) rename(temporary, status_path);
}

static int touches(const struct range* list, int count, uint64_t first, uint64_t length) {
    for (int i = 0; i < count; ++i)
        if (first < list[i].first + list[i].length && list[i].first < first + length) return 1;
    return 0;
}

/* What a request is, for the faults that single some out. */
enum request { READING, WRITING, SIZING };

static int hangs(enum request kind) {
    return now.hang || (kind == WRITING && written >= now.hang_after) ||
           (kind == SIZING && now.hang_statfs);
}

/* The faults that hold before a request is served: the delay, and the wait while it hangs.
 * Takes the lock, and returns with it held. */
static void before_request(enum request kind) {
    pthread_mutex_lock(&lock);
    refresh();
    const unsigned delay = now.delay_ms;
    pthread_mutex_unlock(&lock);
    if (delay) {
        const struct timespec pause = {delay / 1000, (long)(delay % 1000) * 1000000L};
        nanosleep(&pause, NULL);
    }
    pthread_mutex_lock(&lock);
    refresh();
    if (!hangs(kind)) return;
    ++hanging;
    write_status();
    while (hangs(kind)) {
        pthread_mutex_unlock(&lock);
        const struct timespec poll = {0, 20 * 1000000L};
        nanosleep(&poll, NULL);
        pthread_mutex_lock(&lock);
        refresh();
    }
    --hanging;
    write_status();
}

static int is_card(const char* path) { return strcmp(path, "/" CARD_NAME) == 0; }

static int ff_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (!is_card(path)) return -ENOENT;
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = (off_t)image_bytes;
    st->st_blocks = (blkcnt_t)((image_bytes + 511) / 512);
    return 0;
}

static int ff_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    fill(buffer, CARD_NAME, NULL, 0, 0);
    return 0;
}

static int ff_open(const char* path, struct fuse_file_info* fi) {
    (void)fi;
    return is_card(path) ? 0 : -ENOENT;
}

/* What the card does with [offset, offset + size) as a counterfeit card keeps it, piece by
 * piece: `io` is called with where each piece is kept, `lost` with a piece a limbo card loses.
 * Returns 0, or what the first failing call returned. */
typedef ssize_t (*piece_io)(char* data, size_t size, uint64_t where, void* context);
static ssize_t counterfeit_pieces(const struct faults* f, char* data, size_t size, uint64_t offset,
                                  piece_io io, piece_io lost, void* context) {
    while (size > 0) {
        uint64_t where = offset, piece = size;
        if (f->real && offset >= f->real) {
            where = f->spare + (offset - f->spare) % (f->real - f->spare);
            if (f->limbo) where = UINT64_MAX;
            else if (piece > f->real - where) piece = f->real - where;
        } else if (f->real && piece > f->real - offset) {
            piece = f->real - offset;
        }
        const ssize_t r = where == UINT64_MAX ? lost(data, (size_t)piece, offset, context)
                                              : io(data, (size_t)piece, where, context);
        if (r < 0) return r;
        if (data) data += piece;
        offset += piece;
        size -= (size_t)piece;
    }
    return 0;
}

static ssize_t read_piece(char* data, size_t size, uint64_t where, void* context) {
    (void)context;
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(image, data + done, size - done, (off_t)(where + done));
        if (n < 0) return -errno;
        if (n == 0) {
            memset(data + done, 0, size - done);
            break;
        }
        done += (size_t)n;
    }
    return 0;
}
static ssize_t zero_piece(char* data, size_t size, uint64_t where, void* context) {
    (void)where;
    memset(data, context && ((const struct faults*)context)->lost_ones ? 0xFF : 0, size);
    return 0;
}
static ssize_t write_piece(char* data, size_t size, uint64_t where, void* context) {
    (void)context;
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(image, data + done, size - done, (off_t)(where + done));
        if (n < 0) return -errno;
        done += (size_t)n;
    }
    return 0;
}
static ssize_t lose_piece(char* data, size_t size, uint64_t where, void* context) {
    (void)data, (void)size, (void)where, (void)context;
    return 0;
}
static ssize_t allocate_piece(char* data, size_t size, uint64_t where, void* context) {
    (void)data;
    return fallocate(image, *(int*)context, (off_t)where, (off_t)size) == 0 ? 0 : -errno;
}

static int ff_read(const char* path, char* buffer, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
    (void)path, (void)fi;
    const uint64_t first = (uint64_t)offset;
    before_request(READING);
    const int failed = touches(now.errors, now.nerrors, first, size);
    struct faults f = now;
    pthread_mutex_unlock(&lock);
    if (failed) return -EIO;
    ssize_t n = pread(image, buffer, size, offset);
    if (f.real && n >= 0) {
        const ssize_t r = counterfeit_pieces(&f, buffer, (size_t)n, first, read_piece, zero_piece, &f);
        if (r < 0) return (int)r;
    }
    if (n < 0) return -errno;
    for (int i = 0; i < f.nflips; ++i)
        for (ssize_t k = 0; k < n; ++k)
            if (first + (uint64_t)k >= f.flips[i].first &&
                first + (uint64_t)k < f.flips[i].first + f.flips[i].length)
                buffer[k] = (char)~buffer[k];
    return (int)n;
}

static int ff_write(const char* path, const char* buffer, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    (void)path, (void)fi;
    const uint64_t first = (uint64_t)offset;
    if (first >= image_bytes) return -ENOSPC;
    if (size > image_bytes - first) size = (size_t)(image_bytes - first);
    before_request(WRITING);
    const int failed = touches(now.errors, now.nerrors, first, size) ||
                       touches(now.write_errors, now.nwrite_errors, first, size) ||
                       written + size > now.fail_after;
    const int dropped = touches(now.drops, now.ndrops, first, size);
    const struct faults f = now;
    if (!failed) written += size;
    write_status();
    pthread_mutex_unlock(&lock);
    if (failed) return -EIO;
    if (dropped) return (int)size;
    if (f.real) {
        const ssize_t r = counterfeit_pieces(&f, (char*)buffer, size, first, write_piece, lose_piece, NULL);
        return r < 0 ? (int)r : (int)size;
    }
    const ssize_t n = pwrite(image, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int ff_fsync(const char* path, int datasync, struct fuse_file_info* fi) {
    (void)path, (void)fi;
    before_request(WRITING);
    pthread_mutex_unlock(&lock);
    return (datasync ? fdatasync(image) : fsync(image)) == 0 ? 0 : -errno;
}

static int ff_fallocate(const char* path, int mode, off_t offset, off_t length,
                        struct fuse_file_info* fi) {
    (void)path, (void)fi;
    before_request(WRITING);
    const int refused = now.no_fallocate;
    const int failed =
        touches(now.errors, now.nerrors, (uint64_t)offset, (uint64_t)length) ||
        touches(now.write_errors, now.nwrite_errors, (uint64_t)offset, (uint64_t)length);
    const struct faults f = now;
    pthread_mutex_unlock(&lock);
    if (refused) return -EOPNOTSUPP;
    if (failed) return -EIO;
    if (f.real)
        return (int)counterfeit_pieces(&f, NULL, (size_t)length, (uint64_t)offset, allocate_piece,
                                       lose_piece, &mode);
    return fallocate(image, mode, offset, length) == 0 ? 0 : -errno;
}

static int ff_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    (void)fi;
    if (!is_card(path)) return -ENOENT;
    return (uint64_t)size == image_bytes ? 0 : -EPERM; /* a card keeps its size */
}

/* The size of a card-sized file system; the queries of a volume's free space end here. */
static int ff_statfs(const char* path, struct statvfs* st) {
    (void)path;
    before_request(SIZING);
    pthread_mutex_unlock(&lock);
    memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 512;
    st->f_blocks = image_bytes / 512;
    st->f_namemax = 255;
    return 0;
}

static const struct fuse_operations operations = {
    .getattr = ff_getattr,
    .readdir = ff_readdir,
    .open = ff_open,
    .read = ff_read,
    .write = ff_write,
    .fsync = ff_fsync,
    .fallocate = ff_fallocate,
    .truncate = ff_truncate,
    .statfs = ff_statfs,
};

/* The path from the folder it was given in: the server leaves it for the root once mounted. */
static char* absolute(const char* path) {
    char *whole = NULL, here[4096];
    if (path[0] == '/') return strdup(path);
    if (!getcwd(here, sizeof here) || asprintf(&whole, "%s/%s", here, path) < 0) return NULL;
    return whole;
}

int main(int argc, char* argv[]) {
    int at = 1;
    if (at + 1 < argc && strcmp(argv[at], "--status") == 0) {
        status_path = absolute(argv[at + 1]);
        if (!status_path) return 1;
        at += 2;
    }
    if (argc - at != 3) {
        fprintf(stderr, "usage: fault_file [--status FILE] IMAGE CONTROL MOUNTPOINT\n");
        return 2;
    }
    control_path = absolute(argv[at + 1]);
    if (!control_path) return 1;
    image = open(argv[at], O_RDWR | O_CLOEXEC);
    struct stat st;
    if (image < 0 || fstat(image, &st) != 0) {
        fprintf(stderr, "fault_file: %s: %s\n", argv[at], strerror(errno));
        return 1;
    }
    image_bytes = (uint64_t)st.st_size;
    pthread_mutex_lock(&lock);
    refresh();
    write_status();
    pthread_mutex_unlock(&lock);
    /* Foreground, and served by several threads: a request that hangs keeps no other waiting. */
    char* fuse_argv[] = {argv[0], "-f", "-o", "fsname=fault_file", argv[at + 2], NULL};
    return fuse_main(5, fuse_argv, &operations, NULL);
}
