#pragma once

// The seed of a training run's random choices. Unset, every run differs; VELA_TRAINER_SEED=<n>
// repeats a run exactly (initial weights, pictures drawn, augmentation), so that two ways of
// training can be compared on the same draws.
namespace RunSeed {

// True, with the seed, when VELA_TRAINER_SEED holds a number.
bool fixed(unsigned* seed);

} // namespace RunSeed
