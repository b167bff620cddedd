// The fuzz targets' bodies: one function per target, shared by the libFuzzer
// executables (fuzz/CMakeLists.txt) and by the test that replays the seed
// corpus in every build (tests/hardening/fuzz_corpus_test.cpp).
//
// Each takes any bytes and returns 0. The refusals a caller must expect (the
// exceptions each interface documents) are caught; anything else is a finding:
// a crash, a sanitizer report, another exception escaping, or a broken
// invariant, which aborts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace DadovuFuzz {

// A response envelope parsed with the outputs "result" (int), "status" (text),
// "complist" (cclist) and "MsgList" (msglist) bound.
int ResponseEnvelope(const std::uint8_t* data, std::size_t size);

// A node settings file, read through every namespace and key the library uses,
// with the values read as the library reads them.
int Settings(const std::uint8_t* data, std::size_t size);

// A URI (as UTF-8 and as UTF-16) and a node name made into an endpoint URI,
// each offered to RpcClient::CreateCall: what it accepts can carry nothing
// into the HTTP head.
int Uri(const std::uint8_t* data, std::size_t size);

// Several responses parsed by one parser fed in pieces, as a kept-alive
// connection parses them, each compared with a fresh parser's reading of it.
// Built from the communication library's sources (not its shared library).
int EnvelopeStream(const std::uint8_t* data, std::size_t size);

}  // namespace DadovuFuzz
