// Pseudo-random numbers for jitter (serial probing) and scratch names.
#ifndef VH_UTIL_RANDOM_H_
#define VH_UTIL_RANDOM_H_

// Seeds the generator with the current time modulo 10000.
void seedrand();
// For n > 1 a number from 1 to n - 1 (never 0); 0 for n < 1.
int randn(int n);

#endif  // VH_UTIL_RANDOM_H_
