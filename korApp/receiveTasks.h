// The tasks that serve channels: the receive loop that moves what arrives into
// a channel's input queue, the accept loop of a listening channel and the task
// that serves one accepted connection.
#pragma once

#include "ctl.h"

// Bytes taken from a transport per receive pass.
inline constexpr int KOR_RECEIVE_CHUNK = 128;

// The receive loop of a channel of type 1, 3, 4 or 5, run by its owner. Returns
// 0 when the channel was asked to close, -1 after a select or receive failure
// (or for a handle that is not a receivable channel). The caller then releases
// the channel with KORHDLTBL_CloseHandle.
int kor_startTCPClientReceive(int handle);
// The accept loop of a listening channel (type 2), run by its owner. Starts one
// task per accepted connection. Releases the channel itself before it returns:
// 0 after a close request, -1 when accepting fails.
int kor_startTCPAccept(int handle);
// Body of the task serving one accepted connection: gives it a channel of its
// own (type 3), or refuses it when none is free. Frees ipText (ctlMalloc'd, may
// be null) and ends by deleting its own task.
void kor_startTCPServerReceiveClient(int clientSocket, char* ipText, int port, int listenHandle);
// The same as a task entry: (clientSocket, ipText, port, listenHandle, 0...).
void kor_TCPServerReceiveClientTask(CtlArg clientSocket, CtlArg ipText, CtlArg port,
                                    CtlArg listenHandle, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                                    CtlArg);
// A self-contained server loop over a listening channel with two client slots,
// whose received bytes go into the listening channel's own queue. Returns 0
// after a close request, -1 on failure or when the channel has been released.
int kor_startTCPServerReceive(int handle);

// Serial receive test (diagnostic): prints what arrives on the serial port
// until a receive fails.
void kor_doReceiveRS232Test(int port);
