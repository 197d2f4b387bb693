// Random faults from a seed: faults=RATE[:SEED] hits each frame (serial) or
// control transfer (USB) with probability RATE. The generator is our own
// (splitmix64), not a standard-library distribution, so that a seed replays
// the same faults on every build and platform.
#ifndef VELT_SIM_RANDOM_FAULTS_H
#define VELT_SIM_RANDOM_FAULTS_H

#include <cstdint>

namespace velt::sim {

struct RandomFaultConfig {
    double rate = 0;     // 0 to 1
    uint64_t seed = 0;
    bool seeded = false; // without a seed the device picks one and logs it
};

class RandomFaults {
public:
    explicit RandomFaults(const RandomFaultConfig& config) : rate_(config.rate), seed_(config.seed), state_(config.seed) {}

    bool active() const { return rate_ > 0; }
    uint64_t seed() const { return seed_; }

    // True with probability rate.
    bool hit() { return active() && static_cast<double>(next() >> 11) * 0x1.0p-53 < rate_; }
    // Uniform in [0, n), n > 0.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }

private:
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    double rate_;
    uint64_t seed_;
    uint64_t state_;
};

} // namespace velt::sim

#endif
