// Writes the seed corpora of the fuzz targets: the cases each parser must get right, in the
// input format of its target. Usage: fuzz_seeds <corpus folder>.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "FuzzSupport.h"
#include "veltonet/companion/Message.h"

namespace {

using veltonet::Message;
using veltonet::fuzz::Frame;
using veltonet::fuzz::U32;
namespace fs = std::filesystem;

fs::path root;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
    const fs::path folder = root / target;
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary) << bytes;
}

std::string U16(uint16_t value) {
    return std::string{char(value & 0xFF), char(value >> 8)};
}

std::string Compressed(const std::string& content) {
    std::string block(content.size() + content.size() / 255 + 32, '\0');
    const unsigned int n = veltonet::fuzz::CodecCompress()(content.data(), unsigned(content.size()),
                                                           block.data(), unsigned(block.size()));
    block.resize(n);
    return block;
}

std::string Aggregate(uint32_t stated, const std::string& block) {
    return Frame(18, U32(stated) + block);
}

// ---- receive path: [flags][split count][lengths][stream] ----

std::string ReceiveSeed(uint8_t flags, const std::string& splits, const std::string& stream) {
    return std::string(1, char(flags)) + std::string(1, char(splits.size())) + splits + stream;
}

std::string Segment(uint8_t kind, const std::string& content, const std::string& extra = "") {
    return std::string(1, char(kind)) + U16(uint16_t(content.size())) + content + extra;
}

void ReceivePathSeeds() {
    const std::string t = "receive_path";
    const std::string messages = Frame(700, "abcdefghij") + Frame(4, "") + Frame(701, "x");
    Write(t, "messages_one_byte_reads", ReceiveSeed(0, "\x01", messages + "\x05\x00\x02"));
    Write(t, "messages_uneven_reads", ReceiveSeed(0, "\x02\x06\x0a", messages + messages));
    std::string smalls = std::string("\x02\x00", 2) + std::string("\x03\x00\x00", 3) +
                         std::string("\x01", 1) + std::string(4, '\0') + Frame(702, "ok");
    Write(t, "small_messages", ReceiveSeed(0, "\x03", smalls));
    Write(t, "accept_then_data", ReceiveSeed(0, "\x03", Frame(60011, "") + messages));
    Write(t, "largest_message",
          ReceiveSeed(0, std::string(1, '\0'), Frame(703, std::string(65531, 'm')) + Frame(4, "")));
    std::string header(4, '\0');
    Message::WriteHeader(header.data(), 65535, 703);
    Write(t, "largest_message_built",
          ReceiveSeed(8, "\x40",
                      Segment(0, header) + std::string(1, '\x07') + U16(65531) + "m" +
                          Segment(0, Frame(4, ""))));
    Write(t, "data_received_notifications", ReceiveSeed(4, "\x05\x11", messages + messages));
    const std::string packet = Frame(21008, U32(7) + messages);
    Write(t, "sequenced_packet_unpacked", ReceiveSeed(1, "\x09", packet + Frame(704, "after")));
    Write(t, "sequenced_packet_delivered", ReceiveSeed(0, "\x09", packet));
    Write(t, "sequenced_packet_nested",
          ReceiveSeed(1, "\x04", Frame(21008, U32(8) + packet + Frame(705, "tail"))));
    Write(t, "sequenced_packet_short",
          ReceiveSeed(1, "", Frame(21008, "\x01\x02") + Frame(21008, "") + messages));

    // Aggregates through Codec.so, built by the target from segments (flags 2 | 8).
    const std::string content = Frame(60011, "") + messages + Frame(706, std::string(300, 'z'));
    Write(t, "aggregate_true_length",
          ReceiveSeed(2 | 8, "\x07", Segment(1, content) + Segment(0, messages)));
    Write(t, "aggregate_stated_too_large",
          ReceiveSeed(2 | 8, "", Segment(2, content, U32(0xFFFFFFFFu)) + Segment(0, messages)));
    Write(t, "aggregate_stated_too_small",
          ReceiveSeed(2 | 8, "\x40", Segment(2, content, U32(16)) + Segment(0, messages)));
    Write(t, "aggregate_stated_zero",
          ReceiveSeed(2 | 8, "", Segment(2, content, U32(0)) + Segment(0, messages)));
    Write(t, "aggregate_without_codec",
          ReceiveSeed(8, "\x05", Segment(1, content) + Segment(0, messages)));
    Write(t, "aggregate_of_packets",
          ReceiveSeed(1 | 2 | 8, "", Segment(1, packet + packet) + Segment(3, messages, "")));
    // Ready-made aggregates in the raw stream: truncated, random, nested, header only.
    const std::string block = Compressed(content);
    const std::string whole = Aggregate(uint32_t(content.size()), block);
    Write(t, "aggregate_truncated",
          ReceiveSeed(
              2, "\x20",
              Aggregate(uint32_t(content.size()), block.substr(0, block.size() / 2)) + messages));
    std::string noise;
    for (int i = 0; i < 200; ++i) {
        noise += char((i * 73 + 19) & 0xFF);
    }
    Write(t, "aggregate_random_bytes", ReceiveSeed(2, "", Aggregate(4096, noise) + messages));
    Write(t, "aggregate_nested",
          ReceiveSeed(
              2, "\x0b",
              Aggregate(uint32_t(whole.size() + messages.size()), Compressed(whole + messages)) +
                  messages));
    Write(t, "aggregate_header_only",
          ReceiveSeed(2, "\x01", Frame(18, U32(100)) + Frame(18, "\x01") + messages));
}

// ---- client requests: [flags][split count][lengths][stream] ----

std::string Request(uint16_t type, uint32_t identifier, const std::string& name) {
    return Frame(type, U32(identifier) + name);
}

void ClientRequestSeeds() {
    const std::string t = "client_requests";
    const uint8_t tables = 3 | 2 << 3;  // 4 unnamed, 3 named identifiers
    const uint8_t admitted = 0x40;
    std::string stream = Request(60004, 1, "") + Request(60004, 1, "") + Request(60004, 3, "") +
                         Request(60004, 4, "") + Request(60005, 2, "") + Frame(700, "data") +
                         Request(60005, 1, "") + Request(60004, 1, "");
    Write(t, "unnamed_subscriptions", ReceiveSeed(tables | admitted, "\x05", stream));
    Write(t, "unnamed_subscriptions_pending", ReceiveSeed(tables, "\x01", stream));
    std::string named = Request(60004, 1, "X") + Request(60004, 2, "X") + Request(60004, 2, "Y") +
                        Request(60004, 1, std::string("X\0ignored", 9)) + Request(60005, 1, "X") +
                        Request(60005, 2, "X") + Request(60004, 5, "Z") + Request(60004, 0, "") +
                        Request(60005, 0, "Q");
    Write(t, "named_subscriptions", ReceiveSeed(tables | admitted, "\x07\x02", named));
    std::string empty = Request(60004, 0, std::string(1, '\0')) + Request(60004, 0, "") +
                        Request(60005, 0, std::string("\0\0", 2));
    Write(t, "empty_and_absent_names", ReceiveSeed(tables | admitted, "", empty));
    std::string shorts = Frame(60004, "") + Frame(60005, "\x01\x02\x03") + Frame(60004, "\x01") +
                         Request(60004, 2, "") + std::string("\x02\x00", 2) + Frame(701, "");
    Write(t, "short_requests", ReceiveSeed(tables | admitted, "\x02", shorts));
    Write(t, "beyond_tables",
          ReceiveSeed(admitted, "",
                      Request(60004, 1, "") + Request(60004, 1, "N") + Request(60005, 1, "") +
                          Request(60004, 0xFFFFFFFFu, "N")));
    // Built from requests by the target (flag 0x80): [op][identifier][name length][name].
    std::string ops;
    for (int i = 0; i < 24; ++i) {
        ops += char(i * 5 + 1);
        ops += char(i % 7);
        ops += char(i % 3);
        ops += std::string(size_t(i % 3), char('a' + i % 2));
    }
    Write(t, "built_requests", ReceiveSeed(0x80 | tables | admitted, "\x03\x0d", ops));
}

// ---- sequence receiver: a run of operations (see SequenceReceiverFuzzer.cpp) ----

class Ops {
  public:
    Ops& Attach() { return Op(4); }
    Ops& Clear() { return Op(5); }
    Ops& Reconnect() { return Op(6); }
    Ops& Plain() { return Op(7); }
    // Sequence choices, relative to the last feed packet's number (the base).
    static std::string Next() { return "\x40"; }
    static std::string Ahead(uint8_t n) { return std::string(1, char(0x80 | n)); }
    static std::string Near(int delta) { return std::string(1, char(delta + 8)); }
    static std::string Absolute(uint32_t n) { return "\xC0" + U32(n); }
    // A feed packet of tags (and, with filler, one filler message first).
    Ops& Packet(const std::string& sequence, int tags = 2, bool filler = false) {
        return Op(0).Raw(sequence).Raw(Content(tags, filler));
    }
    Ops& Repair(const std::string& sequence) { return Op(3).Raw(sequence).Raw(Content(1, false)); }
    Ops& Nested(const std::string& outer, const std::string& inner) {
        return Op(2)
            .Raw(outer)
            .Raw(inner)
            .Raw(Content(1, false))
            .Raw(Content(1, false))
            .Raw(Content(1, false));
    }
    std::string bytes;

  private:
    Ops& Op(uint8_t op) { return Raw(std::string(1, char(op))); }
    Ops& Raw(const std::string& b) {
        bytes += b;
        return *this;
    }
    static std::string Content(int tags, bool filler) {
        std::string c(1, char(tags - 1 + (filler ? 1 : 0)));
        if (filler) {
            c += std::string("\x00\x05hello", 7);
        }
        for (int i = 0; i < tags; ++i) {
            c += '\x01';
        }
        return c;
    }
};

void SequenceSeeds() {
    const std::string t = "sequence_receiver";
    Write(t, "in_order",
          Ops().Packet(Ops::Next()).Packet(Ops::Next(), 1, true).Packet(Ops::Next()).Plain().bytes);
    Write(t, "gaps_without_repair",
          Ops().Packet(Ops::Next()).Packet(Ops::Ahead(3)).Packet(Ops::Near(-1)).bytes);
    // Packet 10 delivered, 13 and 14 held, repair 11 then 12 release them.
    Write(t, "worked_example",
          Ops()
              .Attach()
              .Packet(Ops::Absolute(10))
              .Packet(Ops::Ahead(3))
              .Packet(Ops::Next())
              .Repair(Ops::Near(-3))
              .Repair(Ops::Near(-2))
              .bytes);
    Write(t, "repair_claims_held_packets",
          Ops()
              .Attach()
              .Packet(Ops::Absolute(10))
              .Packet(Ops::Ahead(3))
              .Packet(Ops::Next())
              .Repair(Ops::Near(-1))
              .bytes);
    Write(t, "repeats_and_zero",
          Ops()
              .Packet(Ops::Absolute(500))
              .Packet(Ops::Near(0))
              .Packet(Ops::Absolute(0))
              .Packet(Ops::Near(0))
              .Packet(Ops::Absolute(0xFFFFFFFFu))
              .Packet(Ops::Next())
              .bytes);
    Write(t, "detach_while_held",
          Ops()
              .Attach()
              .Packet(Ops::Absolute(1))
              .Packet(Ops::Ahead(4))
              .Attach()
              .Packet(Ops::Next())
              .Repair(Ops::Near(-3))
              .Clear()
              .Packet(Ops::Next())
              .bytes);
    Write(t, "reconnect_while_held",
          Ops()
              .Attach()
              .Packet(Ops::Absolute(1))
              .Packet(Ops::Ahead(5))
              .Reconnect()
              .Packet(Ops::Absolute(3))
              .Attach()
              .Packet(Ops::Ahead(2))
              .Repair(Ops::Near(-1))
              .bytes);
    Write(t, "nested_packets",
          Ops()
              .Packet(Ops::Absolute(2))
              .Nested(Ops::Ahead(3), Ops::Near(-2))
              .Packet(Ops::Near(-1))
              .Packet(Ops::Next())
              .bytes);
    Write(t, "recovered_without_held", Ops().Attach().Repair(Ops::Absolute(42)).bytes);
}

// ---- Velto.ini: [section length][section][key length][key][file] ----

std::string IniSeed(const std::string& section, const std::string& key, const std::string& file) {
    return std::string(1, char(section.size())) + section + std::string(1, char(key.size())) + key +
           file;
}

void IniSeeds() {
    const std::string t = "ini_file";
    Write(t, "log_folder", IniSeed("Folder", "Log", "[Folder]\nLog=/var/log/velto\n"));
    Write(t, "quoted_and_blanks",
          IniSeed("folder", "LOG", "; comment\n[FOLDER]\n  log  =  \"/tmp/a b\"  \n"));
    Write(t, "single_quotes_and_crlf",
          IniSeed("Other", "Key", "[Other]\r\nKey='x'\r\n[Folder]\r\nLog='/l'\r\n"));
    Write(t, "first_key_wins",
          IniSeed("S", "k", "[S]\nk=first\nk=second\n[Folder]\nLog=\nLog=x\n"));
    Write(t, "long_line",
          IniSeed("Folder", "Log", "[Folder]\nLog=" + std::string(400, 'p') + "\n"));
    Write(t, "no_section", IniSeed("", "Log", "Log=top\n[Folder]\nLog=in\n"));
    Write(t, "byte_order_mark", IniSeed("Folder", "Log", "\xEF\xBB\xBF[Folder]\nLog=bom\n"));
    Write(t, "broken_lines",
          IniSeed("A", "b", "[A\nb=1\n[A]\n=novalue\nb\n[A]]\nb = 2 ; note\n\"\n'\n"));
    Write(t, "nul_bytes", IniSeed("A", "b", std::string("[A]\nb=x\0y\n[Folder]\nLog=\0\n", 25)));
}

// ---- host and peers: a program of steps, each [operation][arguments] ----

// Builds a program. Targets: 0-3 a slot, 5 the notifying receiver itself (in a trigger).
struct Steps {
    std::string bytes;
    Steps& Op(std::initializer_list<int> values) {
        for (int v : values) {
            bytes += char(v);
        }
        return *this;
    }
    // Receiver flags: bits 0-1 raw server 0 or 1, a listener held, a closed port (with bit 2
    // the address 0.0.0.0); bit 3 persistent; bit 4 urgent data supported; bit 5 connect now.
    Steps& Tcp(int flags) { return Op({0, flags}); }
    // Listener flags: bit 4 accepts by itself; bit 5 a 64-byte send buffer.
    Steps& ListenerAt(int flags) { return Op({2, flags}); }
    Steps& Disconnect(int target, bool reconnect) { return Op({6, target, reconnect ? 1 : 0}); }
    Steps& Delete(int target) { return Op({7, target}); }
    Steps& SendFrame(int target) { return Op({12, target, 1, 0}); }
    Steps& Flush(int listener) { return Op({14, listener, 8}); }
    // On notification type kTriggerTypes[typeIndex] of the receiver in slot (or its clients).
    Steps& Trigger(int slot, int typeIndex, const std::string& action) {
        Op({20, slot, typeIndex, int(action.size())});
        bytes += action;
        return *this;
    }
    Steps& Rounds(int n) { return Op({22, n}); }
    Steps& Settle(int advanceBits = 0) { return Op({22, 0x80 | advanceBits << 5}); }
    Steps& PeerConnect(int slot) { return Op({24, slot}); }
    // Raw bytes, sent in pieces of `piece` with a loop round between pieces.
    Steps& PeerSend(int peer, const std::string& raw, int piece = 16) {
        Op({25, peer, 0, int(raw.size())});
        bytes += raw;
        return Op({piece - 1});
    }
    Steps& PeerUrgent(int peer) { return Op({26, peer, 'u'}); }
    Steps& PeerReset(int peer) { return Op({28, peer}); }
};

constexpr int kOnDisconnected = 1;  // indexes into the fuzzer's trigger types
constexpr int kOnData = 10;         // type 700

void HostAndPeersSeeds() {
    const std::string t = "host_and_peers";
    const std::string two = Frame(700, "") + Frame(701, "");
    // Urgent data arrives once and is notified once: the loop must go quiet.
    Write(t, "urgent_byte_to_receiver",
          Steps().Tcp(0x20).Settle().PeerUrgent(0).Settle().PeerSend(0, two).Settle().bytes);
    Write(t, "urgent_byte_to_receiver_taking_it",
          Steps().Tcp(0x30).Settle().PeerUrgent(0).Settle().PeerUrgent(0).Rounds(3).bytes);
    Write(t, "urgent_byte_to_client",
          Steps().ListenerAt(0x10).PeerConnect(0).Settle().PeerUrgent(0).Settle().bytes);
    // The listener deleted while one of its clients is on its way out.
    const std::string withdrawThenDelete = std::string{6, 5, 0, 7, 0};
    Write(t, "listener_deleted_after_withdrawing_client",
          Steps()
              .ListenerAt(0x10)
              .PeerConnect(0)
              .PeerConnect(0)
              .Settle()
              .Trigger(0, kOnData, withdrawThenDelete)
              .PeerSend(0, Frame(700, ""))
              .Settle()
              .bytes);
    Write(t, "listener_deleted_from_flush_walk",
          Steps()
              .ListenerAt(0x30)
              .PeerConnect(0)
              .PeerConnect(0)
              .Settle()
              .Trigger(0, kOnDisconnected, std::string{7, 0})
              .SendFrame(0)
              .PeerReset(0)
              .Flush(0)
              .Settle()
              .bytes);
    Write(t, "listener_deleted_from_disconnect_walk",
          Steps()
              .ListenerAt(0x10)
              .PeerConnect(0)
              .PeerConnect(0)
              .Settle()
              .Trigger(0, kOnDisconnected, std::string{7, 0})
              .Disconnect(0, false)
              .Settle()
              .bytes);
    Write(t, "listener_deleted_after_reaping_flush",
          Steps()
              .ListenerAt(0x30)
              .PeerConnect(0)
              .PeerConnect(0)
              .Settle()
              .Trigger(0, kOnData, std::string{12, 0, 1, 0, 28, 0, 14, 0, 8, 7, 0})
              .PeerSend(0, Frame(700, ""))
              .Settle()
              .bytes);
    // A client deleted at once (its peer reset before the acceptance went out): from its last
    // notification the host reconnects, disconnects and deletes it.
    Write(t, "host_calls_on_a_client_from_its_last_notification",
          Steps()
              .ListenerAt(0x10)
              .Trigger(0, kOnDisconnected, std::string{5, 5, 6, 5, 0, 8, 5})
              .PeerConnect(0)
              .PeerReset(0)
              .Settle()
              .bytes);
    // Every receiver destroyed from a receiver's own message.
    Write(t, "destroy_all_from_notification",
          Steps()
              .Tcp(0x20)
              .Tcp(0x21)
              .Settle()
              .Trigger(0, kOnData, std::string{9})
              .PeerSend(0, two)
              .Settle()
              .bytes);
    // A connect that fails at once ends its attempt; reconnects go on.
    Write(t, "connect_failing_at_once", Steps().Tcp(0x2F).Settle().Settle(1).Settle(2).bytes);
    // A connect refused after the host asked to disconnect while it was in flight.
    Write(t, "disconnect_while_connect_fails",
          Steps().Tcp(0x23).Disconnect(0, false).Settle().bytes);
    Write(t, "disconnect_while_persistent_connect_fails",
          Steps().Tcp(0x2B).Disconnect(0, true).Settle().Settle(1).bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
        return 2;
    }
    root = argv[1];
    veltonet::fuzz::InitializeEnvironment(true);
    ReceivePathSeeds();
    ClientRequestSeeds();
    SequenceSeeds();
    IniSeeds();
    HostAndPeersSeeds();
    return 0;
}
