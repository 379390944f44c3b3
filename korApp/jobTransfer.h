// Job file transfer between the controller's own FTP server and a remote one,
// the S-variable front end the job commands use, and the ping test.
#pragma once

#include <cstdint>

struct FtpConnection;

// Result codes of kor_FtpLoad (0: the job file was moved).
enum KorFtpLoadResult : int {
    KOR_FTPLOAD_OK = 0,
    KOR_FTPLOAD_NO_CONTROLLER = -1,     // no connection to the controller's own server
    KOR_FTPLOAD_CONTROLLER_LOGIN = -2,  // login there refused
    KOR_FTPLOAD_NO_SERVER = -3,         // no connection to the remote server
    KOR_FTPLOAD_SERVER_LOGIN = -4,      // login there refused
    KOR_FTPLOAD_CHDIR = -5,             // directory change on the remote server refused
    KOR_FTPLOAD_NOT_MOVED = -6,         // nothing moved, or the copy was cut short
};

// Copies jobName from one server to the other (toServer: the receiving one's
// address, for console lines). With the setting ftp_temporary_names on, the
// file is stored under a temporary name (CTL_TRANSFER_SUFFIX) and renamed to
// jobName only once both servers confirmed the whole copy, so a failed
// transfer leaves the old file as it was; the temporary file is deleted then,
// and named on the console where it may stay (DELE refused, connection given
// up). A server that refuses the temporary name (STOR) or the rename with a
// 5xx reply gets the file stored under its name directly, with a console
// line; so does every server with the setting off. 1 moved, else 0.
int kor_MoveJob(FtpConnection* from, FtpConnection* to, const char* jobName, const char* toServer);

// Mode 0 copies jobName from the controller to dir on the server; any other
// mode copies it from the server to the controller.
int kor_FtpLoad(const char* server, const char* user, const char* password, const char* dir,
                const char* jobName, int mode);
// Gathers the transfer's texts from S variables (numbers) and runs kor_FtpLoad:
// the job name gets ".JBI", the directory is joined from dirCount variables.
int kor_FtpHandler(std::int32_t serverVar, std::int32_t userVar, std::int32_t passwordVar,
                   std::int32_t firstDirVar, std::int32_t dirCount, std::int32_t jobVar, int mode);
// The text of S variable varNo into buf (size bytes); the empty text when the
// read fails or the text does not fit. Always 0.
int kor_GetStringVar(char* buf, int size, std::int32_t varNo);
struct FtpConnection;
// Protects a fresh control connection to another server when the setting
// ftp_tls asks for it (FtpSecure), before anything else is sent. 1 when the
// connection may be used (also with ftp_tls off); 0, with a console line, when
// TLS was asked for and could not be had.
int kor_FtpSecure(const char* address, FtpConnection* conn);
// One ICMP echo: 0 when the host answered, -1 otherwise.
int kor_Ping(const char* address);

// The controller's own address ("gei1", else "motetsec0") into addr (at least
// 18 bytes). 0 on success.
int kor_OwnAddress(char* addr);
