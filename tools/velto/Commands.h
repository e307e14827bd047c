#pragma once

// The subcommands of velto. Each Run function returns the process's exit code: 0 done,
// 1 failed; argument errors (2) are found before any of them runs.

#include <cstdint>
#include <string>
#include <vector>

#include "Host.h"

namespace velto {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadArguments = 2;

struct ServeOptions {
    CommonOptions common;
    std::string port;
    uint32_t ids = 1000;
    uint32_t names = 0;
    bool manualAccept = false;
    double feed = 0;  // quotes per second, 0: none
    bool relay = false;
    std::string print = "hex";
    double seconds = 0;  // 0: until interrupted
};

struct ConnectOptions {
    CommonOptions common;
    std::string addresses;
    uint32_t reconnect = 0;
    std::vector<std::string> subscribe;
    std::string print = "hex";
    uint64_t count = 0;
    double seconds = 0;
};

struct SendOptions {
    CommonOptions common;
    std::string address;
    uint32_t type = 0;
    std::string hex;
    std::string text;
    bool hexGiven = false;
    bool textGiven = false;
    uint32_t repeat = 1;
    double wait = 10;
};

struct DatagramOptions {
    CommonOptions common;
    bool multicast = false;  // mcast GROUP:PORT, else udp PORT
    std::string address;
    bool seq = false;
    std::string repair;
    std::string print = "hex";
    uint64_t count = 0;
    double seconds = 0;
};

struct SequencerOptions {
    CommonOptions common;
    std::string target;
    std::string repairPort;
    double rate = 200;
    double drop = 0;
    uint64_t count = 0;  // packets, 0: until interrupted
    double seconds = 0;
};

struct DemoOptions {
    CommonOptions common;
    double seconds = 10;
    double rate = 10000;
    uint32_t instruments = 1000;
};

int RunServe(const ServeOptions& options);
int RunConnect(const ConnectOptions& options);
int RunSend(const SendOptions& options);
int RunDatagram(const DatagramOptions& options);
int RunSequencer(const SequencerOptions& options);
int RunDemo(const DemoOptions& options);

}  // namespace velto
