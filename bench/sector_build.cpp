// Throughput of one sector pass over a large S3 image, against srec_cat converting the same
// file to binary. Usage: sector_build [mebibytes of data, default 16] [passes, default 5]
// Exit status 1 when a pass fails or the pass is not at least 5 times srec_cat's throughput.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"

namespace {

const uint32_t SECTOR_SIZE = 32768;
const double TARGET_RATIO = 5.0;

double now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool run(const std::string &command) {
    if (system(command.c_str()) == 0)
        return true;
    fprintf(stderr, "failed: %s\n", command.c_str());
    return false;
}

// The spinner writes straight to standard output; keep it off the report.
int silence_stdout() {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    return saved;
}

void restore_stdout(int saved) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

} // namespace

int main(int argc, char **argv) {
    unsigned mebibytes = argc > 1 ? (unsigned)atoi(argv[1]) : 16;
    int passes = argc > 2 ? atoi(argv[2]) : 5;
    if (mebibytes == 0 || passes <= 0) {
        fprintf(stderr, "usage: sector_build [mebibytes] [passes]\n");
        return 2;
    }
    char dir[] = "/tmp/sector_build_XXXXXX";
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    std::string image = std::string(dir) + "/image.s19", binary = std::string(dir) + "/image.bin";
    uint32_t first = SECTOR_SIZE, last = first + mebibytes * 1048576UL - 1;

    // 1. An S3 image of random data from sector 1 on, without srec_cat's record count: with
    // more than 0xFFFF records that is an S6 record, which this reader does not accept.
    char range[64];
    snprintf(range, sizeof range, "0x%lX 0x%lX", (unsigned long)first, (unsigned long)last + 1);
    if (!run("srec_cat -generate " + std::string(range) + " -random -o " + image +
             " -Motorola -address-length=4 -disable=data-count"))
        return 2;
    image_file = fopen(image.c_str(), "rb");
    if (image_file == NULL || !is_srecord_image(image_file)) {
        fprintf(stderr, "cannot read %s\n", image.c_str());
        return 2;
    }
    fseek(image_file, 0, SEEK_END);
    double megabytes = ftell(image_file) / 1e6;
    rewind_image_file();

    // 2. srec_cat's conversion of the same file to binary.
    std::vector<double> reference;
    for (int i = 0; i < 3; ++i) {
        double start = now_s();
        if (!run("srec_cat " + image + " -o " + binary + " -binary 2>/dev/null"))
            return 2;
        reference.push_back(now_s() - start);
    }

    // 3. Our passes over sector 1, checked against the binary.
    std::vector<double> ours;
    if (!sector_buffer_allocate(SECTOR_SIZE))
        return 2;
    int saved = silence_stdout();
    bool built = true;
    for (int i = 0; i < passes && built; ++i) {
        sector_buffer_fill();
        uint32_t highest = 0;
        double start = now_s();
        built = build_sector_image(first, first + SECTOR_SIZE - 1, &highest);
        ours.push_back(now_s() - start);
        built = built && highest == last;
    }
    restore_stdout(saved);
    if (!built) {
        // Once more where its messages can be seen.
        uint32_t highest = 0;
        build_sector_image(first, first + SECTOR_SIZE - 1, &highest);
        printf("\nhighest address 0x%lX\n", (unsigned long)highest);
    }
    FILE *expected = fopen(binary.c_str(), "rb");
    unsigned char sector[SECTOR_SIZE];
    // srec_cat's binary starts at address 0.
    bool same = expected != NULL && fseek(expected, first, SEEK_SET) == 0 &&
                fread(sector, 1, SECTOR_SIZE, expected) == SECTOR_SIZE;
    for (uint32_t offset = 0; same && offset < SECTOR_SIZE; offset += BLOCK_SIZE)
        same = memcmp(sector + offset, sector_buffer_block(offset), BLOCK_SIZE) == 0;
    if (expected != NULL)
        fclose(expected);
    fclose(image_file);
    sector_buffer_release();
    run("rm -rf " + std::string(dir));
    if (!built || !same) {
        fprintf(stderr, "the pass failed or built a sector unlike srec_cat's binary\n");
        return 1;
    }

    // 4. The report, in MB (10^6 bytes) of S-record text per second.
    double reference_rate = megabytes / *std::min_element(reference.begin(), reference.end());
    double best = megabytes / *std::min_element(ours.begin(), ours.end());
    double typical = megabytes / median(ours);
    double ratio = best / reference_rate;
    printf("S3 image: %u MiB of data, %.1f MB of text\n", mebibytes, megabytes);
    printf("srec_cat to binary, best of 3:  %8.1f MB/s\n", reference_rate);
    printf("sector pass, best of %d:        %8.1f MB/s (median %.1f MB/s)\n", passes, best,
           typical);
    printf("ratio: %.1f (target %.0f): %s\n", ratio, TARGET_RATIO,
           ratio >= TARGET_RATIO ? "met" : "NOT met");
    return ratio >= TARGET_RATIO ? 0 : 1;
}
