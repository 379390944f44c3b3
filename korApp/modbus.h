// The Modbus TCP client: one request and its reply over an open TCP channel
// (either way) or UDP channel, sent through the channels' one send.
// A request is sent with a transaction id of its own (id 1, any id answering,
// with the setting modbus_transaction = fixed), the fixed wait passes (with
// modbus_wait = reply only until the reply is complete), and the reply is the
// frame in the channel's input queue that answers this request; anything else
// queued is dropped. Results are 0 or a small negative code; the
// commands report 255 plus that code to the job.
#pragma once

// Reads `quantity` items with function code 1..4 from `startAddress` and stores
// the reply's items into consecutive variables from `firstVar` on: D variables
// for data types 0..4, R variables for type 5. swapFlag non-zero reads each item
// little-endian.
// 0 stored; -1 negative variable, handle outside the table, channel not open,
// or a serial or listening channel (with a console line);
// -2 send failed; -3 no reply to this request; -4 exception reply, or a reply
// shorter than its frame.
int kor_ModBusRead(int handle, int waitMs, int firstVar, int functionCode, int startAddress,
                   int quantity, int dataType, int swapFlag);

// Writes with function code 5 (coil from I/O signal `source`), 6 (register from
// D variable `source`), 15 (`quantity` coils from I/O signals from `source` on,
// at most 128) or 16 (`quantity` registers from D variables from `source` on,
// at most 127). swapFlag non-zero exchanges the two bytes of every register.
// 0 accepted; -1 negative source, or a serial or listening channel (with a
// console line); -2 handle outside the table; -3 unsupported
// function code, quantity that does not fit, or source not readable; -4 send
// failed; -5 channel not open before the send; -6 not open after the wait;
// -7 no reply to this request or an exception reply.
int kor_ModBusWrite(int handle, int waitMs, int source, int quantity, int functionCode,
                    int startAddress, int swapFlag);
