/* The ideal client, as a yardstick for korvath-cli: probe, password, then one program frame per
 * record, each followed by its ACK and exactly 2 ms of quiet, with nothing else in between.
 * Programs flash that starts erased (no erase). Prints each record's time in ms, one a line,
 * with -r, and a summary line "records N mean M median D p99 P ms" either way.
 * Usage: korvath_ref_client [-n RECORDS | -i IMAGE.shx] [-m MODEL] [-r] PORT */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kMaxRecords = 1 << 16 };
static const char* const kPasswords[] = {"KPL-WU", "RB-DAM", "ZOH+VE"};
static unsigned char g_data[kMaxRecords][64];
static unsigned long g_address[kMaxRecords];
static double g_ms[kMaxRecords];

static double nowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

/* Writes `frame`, then waits for the reply and for 2 ms of quiet after its last byte.
 * Returns the reply's first byte, or -1 when none came within a second. */
static int exchange(int fd, const unsigned char* frame, size_t length) {
    if (write(fd, frame, length) != (ssize_t)length) return -1;
    int first = -1;
    double until = nowMs() + 1000.0;
    for (;;) {
        const double left = until - nowMs();
        if (left <= 0) return first;
        const long long ns = (long long)(left * 1e6) + 1;
        struct timespec timeout = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
        struct pollfd p = {fd, POLLIN, 0};
        if (ppoll(&p, 1, &timeout, NULL) <= 0) continue;
        unsigned char in[128];
        const ssize_t n = read(fd, in, sizeof in);
        if (n <= 0) return -1;
        if (first < 0) first = in[0];
        until = nowMs() + 2.0;
    }
}

/* A frame: ESC, letter, operand count, operands, EOT, 16-bit sum with the high bit set. */
static size_t frame(unsigned char* out, unsigned char letter, const unsigned char* ops, size_t n) {
    out[0] = 0x1B, out[1] = letter, out[2] = (unsigned char)n;
    memcpy(out + 3, ops, n);
    out[3 + n] = 0x04;
    unsigned sum = 0;
    for (size_t i = 0; i < n + 4; ++i) sum += out[i];
    out[4 + n] = (unsigned char)(sum & 0xFF), out[5 + n] = (unsigned char)((sum >> 8) | 0x80);
    return n + 6;
}

/* The 64-byte S2 records of an S-record file; other lines are skipped. */
static int readImage(const char* path) {
    FILE* file = fopen(path, "r");
    if (!file) return -1;
    char line[512];
    int count = 0;
    while (fgets(line, sizeof line, file) && count < kMaxRecords) {
        unsigned length, address, byte;
        if (sscanf(line, "S2%2x%6x", &length, &address) != 2 || length != 68) continue;
        g_address[count] = address;
        for (int k = 0; k < 64 && sscanf(line + 10 + 2 * k, "%2x", &byte) == 1; ++k)
            g_data[count][k] = (unsigned char)byte;
        ++count;
    }
    fclose(file);
    return count;
}

static int byValue(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    int records = 8192, model = 1, raw = 0, option;
    const char* image = NULL;
    while ((option = getopt(argc, argv, "n:i:m:r")) != -1) {
        if (option == 'n')
            records = atoi(optarg);
        else if (option == 'i')
            image = optarg;
        else if (option == 'm')
            model = atoi(optarg);
        else if (option == 'r')
            raw = 1;
        else
            return 2;
    }
    if (optind + 1 != argc || model < 1 || model > 3 || records < 1 || records > kMaxRecords) {
        fprintf(stderr, "usage: %s [-n RECORDS | -i IMAGE] [-m MODEL] [-r] PORT\n", argv[0]);
        return 2;
    }
    if (image)
        records = readImage(image);
    else
        for (int i = 0; i < records; ++i) {
            g_address[i] = 0xE00000UL + 64UL * (unsigned long)i;
            for (int k = 0; k < 64; ++k) g_data[i][k] = (unsigned char)(i + k);
        }
    if (records < 1) return fprintf(stderr, "no 64-byte S2 records in %s\n", image), 2;

    const int fd = open(argv[optind], O_RDWR | O_NOCTTY);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) return perror(argv[optind]), 2;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400), cfsetospeed(&tio, B38400);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    prctl(PR_SET_TIMERSLACK, 1UL); /* the 2 ms quiet wait as exact as the kernel allows */

    unsigned char out[80];
    const unsigned char probe = 0x90;
    const char* password = kPasswords[model - 1];
    if (exchange(fd, &probe, 1) != 0x06 ||
        exchange(fd, out, frame(out, 's', (const unsigned char*)password, strlen(password))) !=
            0x06)
        return fprintf(stderr, "no controller, or it refused the password\n"), 1;
    for (int i = 0; i < records; ++i) {
        unsigned char ops[67] = {g_address[i] & 0xFF, (g_address[i] >> 8) & 0xFF,
                                 g_address[i] >> 16};
        for (int k = 0; k < 32; ++k)
            ops[3 + 2 * k] = g_data[i][2 * k + 1], ops[4 + 2 * k] = g_data[i][2 * k];
        const double start = nowMs();
        if (exchange(fd, out, frame(out, 't', ops, sizeof ops)) != 0x06)
            return fprintf(stderr, "record %d at %06lX not acknowledged\n", i + 1, g_address[i]), 1;
        g_ms[i] = nowMs() - start;
        if (raw) printf("%.4f\n", g_ms[i]);
    }
    double sum = 0;
    for (int i = 0; i < records; ++i) sum += g_ms[i];
    qsort(g_ms, (size_t)records, sizeof g_ms[0], byValue);
    printf("records %d mean %.4f median %.4f p99 %.4f ms\n", records, sum / records,
           g_ms[records / 2], g_ms[(int)(0.99 * (records - 1))]);
    close(fd);
    return 0;
}
