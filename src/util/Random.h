// Pseudo-random numbers for jitter (serial probing) and scratch names.
#ifndef VH_UTIL_RANDOM_H_
#define VH_UTIL_RANDOM_H_

// Seeds the generator with the current time modulo 10000.
void seedrand();
// For n > 1 a number from 1 to n - 1 (never 0): (generator + milliseconds
// within the second) mod n, drawn once more when 0, and 1 when 0 again.
// 1 for n == 1, 0 for n < 1. Thread-safe (the C library locks its generator).
int randn(int n);

#endif  // VH_UTIL_RANDOM_H_
