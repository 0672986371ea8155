// Control bytes of the transfer protocol (target = the device being programmed).
#ifndef SESSION_CONTROL_BYTES_H
#define SESSION_CONTROL_BYTES_H

const unsigned char SOH = 0x01; // host: opens the sector-size request and each sector header
const unsigned char EOT = 0x04; // target: line-mode image complete; host: all sectors went
const unsigned char ACK = 0x06; // target: go on
const unsigned char NAK = 0x15; // target: again / use line mode; host: sector transfer abandoned
const unsigned char SYN = 0x16; // target: next answer may take up to 15 s
const unsigned char CAN = 0x18; // target: refuses the exchange
const unsigned char FS = 0x1C;  // host: after a sector's last block
const unsigned char RS = 0x1E;  // host: between blocks of a sector

// Bytes the target may send in one stretch that the program only reads on: between two ACKs to
// the driver, within one line of the target's, in one drain. A target never
// comes near it; one that chatters or sends blank lines without end fails as a silent one.
const unsigned MAX_TARGET_CHATTER = 4096;

#endif
