// Texts of the XML the library reads (channel descriptions, run catalogue):
// writers leave blanks around attribute values, which are no part of them.
#ifndef ZORV_XML_TEXT_H
#define ZORV_XML_TEXT_H

namespace zorv {

inline bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `s` past its leading blanks.
inline const char* skip_xml_space(const char* s) {
    while (is_xml_space(*s)) ++s;
    return s;
}

}  // namespace zorv

#endif
