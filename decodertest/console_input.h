// The operator's answers, read from the wide standard input. An answer that cannot be had (not
// a number, or the input has ended) is reported, so that the dialogue ends in order instead of
// looping on a failed stream or going on with a value nobody chose.
#pragma once

#include <string>

// Reads an integer with formatted extraction; the rest of the line stays in the input. On
// failure writes a line saying why and returns false.
bool ReadChoice(int& value);

// Reads one line of at most 1023 characters, without its line end. A longer line is refused
// with a message, skipped and asked for again (the caller prints the prompt first, every
// time). Returns false, after a line saying so, when the input ends before a line is had.
bool ReadUrlLine(const wchar_t* prompt, std::wstring& line);
