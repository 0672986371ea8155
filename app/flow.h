// The steps of the program flow that both builds take alike.
#ifndef APP_FLOW_H
#define APP_FLOW_H

// The banner's first and last lines; each build puts its own version line between them.
#define BANNER_TITLE_LINE "                Halvren Security Systems Firmware Downloader      \r\n"
#define BANNER_OWNER_LINE "         Kestrel loader, built and maintained by its developers \r\n"

// print_banner: "\r\n", then the banner.
void print_banner(const char *banner);

// open_image: opens image_file and checks that it begins like an S-record image; false after
// the message saying which of the two failed (the file is then closed).
bool open_image(const char *file_name);

// operator_confirms: the warning and the question; true on Y or y. Any other key prints
// "Firmware download aborted." and gives false.
bool operator_confirms();

// run_confirmed_download: after the operator's yes, sets port_number from the port digit, runs
// the download, closes the port and prints the outcome; true when the download succeeded.
bool run_confirmed_download(const char *file_name, char port_char);

// print_download_aborted: "Firmware download aborted." on a fresh line.
void print_download_aborted();

// close_image: closes image_file if it is open.
void close_image();

#endif
