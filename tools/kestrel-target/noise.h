// Random damage to the bytes on the line, one decision per byte and direction, repeatable
// from a seed: a bit flipped (corruption) or the byte lost (drop).
#ifndef TARGET_NOISE_H
#define TARGET_NOISE_H

#include <cstdint>
#include <random>
#include <string>

class Noise {
  public:
    enum Direction { RX, TX };

    Noise(uint64_t seed, double corrupt_rx, double drop_rx, double corrupt_tx, double drop_tx);

    // enabled: some rate is non-zero; armed: damage is being done from now on.
    bool enabled() const;
    bool armed() const { return armed_; }
    void arm();

    // pass: false when the byte is lost; otherwise it may come out with one bit flipped. Each
    // damaged byte is logged.
    bool pass(Direction dir, uint8_t &byte);

    // summary: "rx 12 of 40960 bytes flipped, 3 dropped; tx ..." for the transfer's summary.
    std::string summary() const;

  private:
    struct Stream {
        std::mt19937_64 rng;
        double corrupt, drop;
        uint64_t bytes = 0, corrupted = 0, dropped = 0;
    };
    Stream streams_[2];
    bool armed_ = false;
};

#endif
