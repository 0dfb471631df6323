// Two files exported by Wine's regedit (/E) from trees made with Wine's reg add, as UTF-8 text with
// their CRLF line ends. The writer must reproduce them byte for byte from the records the reader takes
// from them.
#pragma once

namespace regfile_test {

inline constexpr const char* kWineProbe =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Probe]\r\n"
    "@=\"def\"\r\n"
    "\"B3\"=hex:\r\n"
    "\"back\\\\slash\"=\"x\"\r\n"
    "\"BE\"=hex(5):04,03,02,01\r\n"
    "\"Bin\"=hex:01,02,ab,cd,ef,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,\\\r\n"
    "  13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25\r\n"
    "\"E\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,3b,00,78,00,00,00\r\n"
    "\"M2\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00\r\n"
    "\"N\"=hex(0):30,00,31,00,30,00,32,00,00,00\r\n"
    "\"Na me\"=\"a\\\"b\\\\c\"\r\n"
    "\"Q\"=hex(b):89,67,45,23,01,00,00,00\r\n"
    "\"Q2\"=hex(b):0c,00,00,00,00,00,00,00\r\n"
    "\"Size\"=dword:0000002a\r\n"
    "\"Ümlaut\"=\"Grüße\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Probe\\Sub]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Probe\\Sub\\Deep]\r\n"
    "@=\"\"\r\n"
    "\r\n"
    ;

inline constexpr const char* kWineWrapping =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Probe2]\r\n"
    "\"A very long value name that goes on and on and on until column eighty\"=hex:00,\\\r\n"
    "  11,22,33,44,55,66,77,88,99\r\n"
    "\"Ex\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,\\\r\n"
    "  25,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,3b,00,25,00,50,\\\r\n"
    "  00,41,00,54,00,48,00,25,00,3b,00,43,00,3a,00,5c,00,50,00,72,00,6f,00,67,00,\\\r\n"
    "  72,00,61,00,6d,00,20,00,46,00,69,00,6c,00,65,00,73,00,5c,00,53,00,6f,00,6d,\\\r\n"
    "  00,65,00,74,00,68,00,69,00,6e,00,67,00,20,00,4c,00,6f,00,6e,00,67,00,5c,00,\\\r\n"
    "  62,00,69,00,6e,00,00,00\r\n"
    "\"N\"=hex:00\r\n"
    "\"Sm🙂ile\"=\"x🙂y\"\r\n"
    "\r\n"
    ;

}  // namespace regfile_test
