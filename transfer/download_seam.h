#pragma once
#include <filesystem>
#include <vector>

// Test-only seams into downloadFile. The program never calls these; they exist so that tests can
// exercise the stall guards without waiting a minute, and a successful HTTPS transfer without
// adding a test authority to the machine's trust store.

// Replaces the stall window (`lowSpeedTime` seconds below `lowSpeedLimit` bytes per second)
// for every later download; 0 restores the default.
void setLowSpeedTimeForTesting(long seconds);

// Replaces the time an attempt waits for the first byte of the body for every later download; 0
// restores the default.
void setFirstByteTimeForTesting(long seconds);

// Makes later downloads verify servers against the certificates in `caFile` instead of the
// library's default store; an empty path restores the default. Verification itself stays on.
void setCertificateAuthorityForTesting(const std::filesystem::path& caFile);

// What downloadFile chose for its stall guards and redirect limit.
struct TransferLimits {
    long lowSpeedLimit = 0;  // bytes per second
    long lowSpeedTime = 0;   // seconds
    long firstByteTime = 0;  // seconds
    long maxRedirects = 0;
};

// The limits of the last download this thread started; lets a test check the program's own
// stall windows without waiting for them.
TransferLimits lastTransferLimitsForTesting();

// Makes every later retry wait `milliseconds` per second it would wait (1 s, 2 s, Retry-After);
// 0 restores real seconds.
void setRetrySecondForTesting(long milliseconds);

// The waits, in seconds, before each retry of the last download this thread started.
std::vector<long> lastRetryWaitsForTesting();
