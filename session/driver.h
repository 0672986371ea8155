// The download driver: answers the target's control bytes from "download_firmware" to the end.
#ifndef SESSION_DRIVER_H
#define SESSION_DRIVER_H

// run_download: the whole session and transfer; true when the firmware went through. The
// caller closes the port. The file name and port character serve only the header.
bool run_download(const char *file_name, char port_char);

#endif
