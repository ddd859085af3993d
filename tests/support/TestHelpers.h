// Small helpers shared by every test: waiting on conditions, free ports, file access.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// How long a test waits for something that normally happens within milliseconds. Generous,
// because sanitizer builds on a loaded 2-core machine are slow; a wait ends as soon as its
// condition holds, so the size costs nothing when things work.
inline constexpr std::chrono::milliseconds kTestWait{10000};

// Checks `condition` until it holds or `timeout` has passed, backing off from 1 ms to 20 ms
// between checks. The condition is evaluated once more at the deadline, so a zero timeout
// still gives it one chance. Use only where nothing signals the change.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kTestWait);

// A loopback TCP port that nobody had bound a moment ago (the kernel's pick for port 0).
// Another process may still take it before it is used; callers that start servers on it
// retry with a new port when the bind collides.
uint16_t FreeTcpPort();

// True when a TCP connect to 127.0.0.1:`port` succeeds at once.
bool CanConnect(uint16_t port);

// Folder holding the built binaries (MQTT.so, mqtt-host, libvalcore.so): the environment
// variable DRAVO_BIN_DIR, which CTest sets; empty when it is not set.
std::string BinDir();

// Full path of an installed program, searched in PATH and then in /usr/sbin, /sbin,
// /usr/local/sbin (the broker lives in sbin, which a plain user's PATH may lack).
// Empty when the program is not installed.
std::string FindProgram(const std::string& name);

// The whole file as bytes; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
// Replaces the file with `text`; false on any failure.
bool WriteFileText(const std::string& path, const std::string& text);
