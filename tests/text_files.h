// Text and file utilities for the tests: the window's texts are code page
// 936 bytes, and the list tests write files byte for byte.
#ifndef DNSCHECK_TESTS_TEXT_FILES_H
#define DNSCHECK_TESTS_TEXT_FILES_H

#include <string>

// Code page 936 bytes for a UTF-8 literal, so tests read like the window.
std::string Gbk(const char* utf8);

// The whole file at `path`, byte for byte; "<missing>" when it cannot be
// opened (no file holds that, so a comparison with expected bytes fails).
std::string ReadBytes(const std::string& path);

// Writes `bytes` as the whole file at `path`; false on any failure.
bool WriteBytes(const std::string& path, const std::string& bytes);

#endif
