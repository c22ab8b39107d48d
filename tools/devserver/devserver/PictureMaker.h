#pragma once
// Real PNG files for the local server: head pictures (a gradient unique to
// a seed) and QR codes of a text (libqrencode), both written with libpng.

#include <cstdint>
#include <string>

namespace DevServer {

// An RGB picture of width x height pixels; empty when libpng fails.
std::string MakeHeadPng(unsigned width, unsigned height, uint32_t seed);

// A black-on-white QR code of text, about width pixels wide with a quiet
// zone of four modules. Empty, with the reason in error, when the text does
// not fit a QR code or encoding fails.
std::string MakeQrPng(const std::string& text, unsigned width, std::string* error);

}  // namespace DevServer
