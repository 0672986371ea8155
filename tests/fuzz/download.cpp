// run_download against a far end that answers arbitrarily, with an arbitrary image: the target
// already waits for the download and echoes its command line; after "download_firmware" each
// wait that follows a write gets the next segment of the input (then ACKs). Input: segments
// separated by '#', then "#IMG" and the image file, which begins like an S-record image.
#include <cstring>
#include <string>
#include <vector>

#include "image/srecord.h"
#include "session/driver.h"
#include "support/unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input((const char *)data, size);
    size_t image_at = input.find("#IMG");
    std::string answers = input.substr(0, image_at);
    std::vector<std::string> segments;
    for (size_t from = 0;;) {
        size_t to = answers.find('#', from);
        segments.push_back(answers.substr(from, to - from));
        if (to == std::string::npos)
            break;
        from = to + 1;
    }

    fresh_start();
    use_image(image_at == std::string::npos ? "" : input.substr(image_at + 4));
    if (!is_srecord_image(image_file)) // the program flow never hands over such a file
        return 0;
    scripted_transfer(segments);
    run_download("image.s19", '1');
    fresh_start();
    return 0;
}
