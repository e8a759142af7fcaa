// What the program knows of the camera's USB side: how it is recognised, how it is
// configured, where commands, replies and pictures travel, and the command words.
#pragma once

#include <cstdint>

// Recognised by vendor ID alone; product ID, class and serial are not looked at.
constexpr uint16_t cam_vendor = 0x833C;

// The camera is set to configuration 2 and then to 1 before the interface is claimed.
constexpr int cam_config_first = 2;
constexpr int cam_config_then = 1;
constexpr int cam_interface = 0;

// Bulk endpoints.
constexpr unsigned char ep_cmd = 0x03;   // OUT: command blocks
constexpr unsigned char ep_reply = 0x82; // IN: one reply per command, content ignored
constexpr unsigned char ep_frame = 0x81; // IN: header packets and frame transfers

// Every bulk transfer, in both directions.
constexpr unsigned int cam_timeout_ms = 2000;

// Command words. They differ only in their low byte, which goes first on the wire.
constexpr uint32_t cmd_6b = 0x6BB6B66B;
constexpr uint32_t cmd_6c = 0x6BB6B66C;
constexpr uint32_t cmd_6f = 0x6BB6B66F;
constexpr uint32_t cmd_mode = 0x6BB6B672; // takes an argument: 0, then 1
constexpr uint32_t cmd_73 = 0x6BB6B673;
constexpr uint32_t cmd_stop = 0x6BB6B674; // the closing command

// A command block carries the word alone or the word and its argument.
constexpr int cmd_len_word = 4;
constexpr int cmd_len_arg = 8;

// Everything the camera exchanges is little-endian, whatever the host's byte order.
inline uint32_t get16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

inline uint32_t get32(const unsigned char *p)
{
    return get16(p) | get16(p + 2) << 16;
}

inline void put32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
