#include "tools/kestrel-target/noise.h"

#include "tools/kestrel-target/log.h"

Noise::Noise(uint64_t seed, double corrupt_rx, double drop_rx, double corrupt_tx, double drop_tx) {
    // Each direction draws from its own sequence, so that what happens to the n-th byte one
    // way does not depend on how the other way's traffic interleaved with it.
    streams_[RX].rng.seed(seed * 2 + 1);
    streams_[RX].corrupt = corrupt_rx;
    streams_[RX].drop = drop_rx;
    streams_[TX].rng.seed(seed * 2 + 2);
    streams_[TX].corrupt = corrupt_tx;
    streams_[TX].drop = drop_tx;
}

bool Noise::enabled() const {
    for (const Stream &s : streams_)
        if (s.corrupt > 0 || s.drop > 0)
            return true;
    return false;
}

void Noise::arm() {
    if (armed_ || !enabled())
        return;
    armed_ = true;
    log_event("line noise from here on: rx flip %g drop %g, tx flip %g drop %g per byte",
              streams_[RX].corrupt, streams_[RX].drop, streams_[TX].corrupt, streams_[TX].drop);
}

bool Noise::pass(Direction dir, uint8_t &byte) {
    if (!armed_)
        return true;
    Stream &s = streams_[dir];
    // Three draws for every byte whatever the rates, so a seed gives the same damage to the
    // same byte at any rate setting.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double drop_draw = unit(s.rng);
    double corrupt_draw = unit(s.rng);
    unsigned bit = (unsigned)(s.rng() % 8);
    uint64_t index = ++s.bytes;
    const char *name = dir == RX ? "rx" : "tx";
    if (drop_draw < s.drop) {
        ++s.dropped;
        log_event("noise: %s byte %llu (0x%02X) dropped", name, (unsigned long long)index, byte);
        return false;
    }
    if (corrupt_draw < s.corrupt) {
        ++s.corrupted;
        uint8_t was = byte;
        byte ^= (uint8_t)(1u << bit);
        log_event("noise: %s byte %llu: 0x%02X became 0x%02X", name, (unsigned long long)index, was,
                  byte);
    }
    return true;
}

std::string Noise::summary() const {
    std::string text;
    const char *names[2] = {"rx", "tx"};
    for (int d = 0; d < 2; ++d) {
        const Stream &s = streams_[d];
        if (!text.empty())
            text += "; ";
        text += std::string(names[d]) + " " + std::to_string(s.corrupted) + " of " +
                std::to_string(s.bytes) + " bytes flipped, " + std::to_string(s.dropped) +
                " dropped";
    }
    return text;
}
