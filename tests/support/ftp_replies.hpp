#pragma once

// The exact bytes of the FTP side's replies, shared by the end-to-end
// tests. Written out here, not taken from the server's sources, so that a
// changed reply fails a test.

#include <string>

inline const std::string FTP_GREETING = "220 FTP server - pro Sorbanik\r\n";
inline const std::string FTP_USER_OK = "331 Uzivatelske jmeno prijato, ocekavam heslo\r\n";
inline const std::string FTP_PASS_OK = "230 Heslo je vporadku (ostatne jako kazde jine ;-)\r\n";
inline const std::string FTP_PORT_OK = "200 ok, poznamenano, zadej, co tam mam poslat\r\n";
inline const std::string FTP_TYPE_OK = "220 Typ je stejne porad binarni ...\r\n";
inline const std::string FTP_STARTING = "150 ok, startuju spojeni\r\n";
inline const std::string FTP_DONE = "226 ok, hotovo\r\n";
inline const std::string FTP_FAILED = "400 neco neproslo\r\n";
inline const std::string FTP_REFUSED = "424 spojeni na pozadovanou adresu se nezdarilo\r\n";
inline const std::string FTP_NO_DIRECTORY = "550 adresar neexistuje\r\n";
inline const std::string FTP_FORBIDDEN = "550 tam nesmis!\r\n";
inline const std::string FTP_UNKNOWN = "500 Nerozumim? \r\n";
inline const std::string FTP_GOODBYE = "Bylo mi cti, nashledanou\r\n";

// The 257 reply for a directory as the client sees it ("/", "/pub/"): a
// quote in it doubled.
inline std::string ftp_pwd_reply(const std::string& shown) {
    return "257 \"" + shown + "\" je aktualni adresar\r\n";
}
