#pragma once

#include <string>
#include <vector>

// Small text helpers for the trainer's list and data files.
namespace TextLines {
// Whole file; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string* text);
// Lines without their "\n" or "\r\n".
std::vector<std::string> split(const std::string& text);
std::string trimmed(const std::string& text);
// The non-empty lines of a file, trimmed.
bool readList(const std::string& path, std::vector<std::string>* lines);
} // namespace TextLines
