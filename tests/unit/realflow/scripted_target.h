// A target on the scripted link for the real-mode build's session: it echoes its command line,
// answers the flash-map command, restarts into its download-waiting line after the upgrade
// command and takes a line-mode download (NAK to the size request, ACK per line, EOT after
// the terminator record).
#ifndef TESTS_UNIT_REALFLOW_SCRIPTED_TARGET_H
#define TESTS_UNIT_REALFLOW_SCRIPTED_TARGET_H

#include <string>
#include <vector>

namespace scripted_target {

struct settings {
    bool answers = true;               // echoes at all
    bool answers_after_upgrade = true; // echoes again after the upgrade command
    bool silent_map = false;           // gives no answer to the flash-map command
    std::string flash_map = "1 : FE";
};

// Starts it on the test link (after test_link::reset()).
void start(const settings &s);

// Command lines received, without their line ends.
const std::vector<std::string> &commands();

} // namespace scripted_target

#endif
