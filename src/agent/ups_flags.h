// The UPS's state as the UPS channel process writes it into the shared
// record, and as the event engine reads it: the state code of the live
// record and the status flag word beside it.
#ifndef VOLTMIRA_AGENT_UPS_FLAGS_H
#define VOLTMIRA_AGENT_UPS_FLAGS_H

#include <cstdint>

// UPS_UPSINFO.upsstat: the state code.  UPSST_SHUTDOWN is held only while
// one reply is evaluated and never left in the field.
inline constexpr int8_t UPSST_NORMAL = 0;
inline constexpr int8_t UPSST_TEST = 3;
inline constexpr int8_t UPSST_SHUTDOWN = 4;
inline constexpr int8_t UPSST_BYPASS = 16;
inline constexpr int8_t UPSST_FAULT = 20;
inline constexpr int8_t UPSST_OVERLOAD = 21;
inline constexpr int8_t UPSST_UTILFAIL = 33;

// UPS.upsstat: the status flag word.
inline constexpr uint32_t UPSF_CF = 0x10;           // the unit answered "CF"
inline constexpr uint32_t UPSF_BATTLOW = 0x100;     // Q1 b6
inline constexpr uint32_t UPSF_BATTDISC = 0x200;    // "V" position 0
inline constexpr uint32_t UPSF_BATTWEAK = 0x400;    // Q1 b0 or the weak latch
inline constexpr uint32_t UPSF_UTILFAIL = 0x1000;   // Q1 b7
inline constexpr uint32_t UPSF_FAULT = 0x2000;      // Q1 b4 or the hardware latch
inline constexpr uint32_t UPSF_OVERLOAD = 0x4000;   // load of 101 % or more
inline constexpr uint32_t UPSF_BYPASS = 0x8000;     // Q1 b5 on an on-line unit
inline constexpr uint32_t UPSF_TEST = 0x10000;      // self-test running or asked for
inline constexpr uint32_t UPSF_SHUTDOWN = 0x20000;  // Q1 b1
inline constexpr uint32_t UPSF_STANDBY = 0x40000;   // Q1 b3
inline constexpr uint32_t UPSF_TESTENDED = 0x80000; // a test outcome awaits the engine

#endif
