/*
 * errors.h - every code the MIRA driver and its Portkit hand to a host, named
 * once. Finish and start functions report them through *error.
 *
 * Three sources share the one int:
 *   - the driver's own codes (MIRA_ERR_*), negative or in 256..32001;
 *   - the controller's extended status, passed on as the code itself when a
 *     reply carries STS 0xF0 (1..255);
 *   - Portkit's ErrorCode values (MIRA_PK_ERR_*), handed on unchanged when an
 *     exchange fails on the link, and UDrvOpen's open codes.
 */
#ifndef MIRA_ERRORS_H
#define MIRA_ERRORS_H

/* The driver's codes. */
enum {
    MIRA_OK = 0,
    MIRA_ERR_BAD_MNEMONIC = -34,      /* bad or missing mnemonic or separator; an    */
                                      /* item text that is empty or holds characters */
                                      /* outside printable ASCII or that its parse   */
                                      /* does not account for whole (X3, foo, 5.DN); */
                                      /* a type letter or bit its file has no value  */
                                      /* for (a float outside float files, a float   */
                                      /* or string part of a timer, counter or       */
                                      /* control)                                    */
    MIRA_ERR_BAD_HEADER = -37,        /* header names no valid file; item under U:   */
                                      /* without a type letter; file type 144 where  */
                                      /* it is not allowed; a header naming a        */
                                      /* negative number or holding characters       */
                                      /* outside printable ASCII or that its parse   */
                                      /* does not account for whole (N7:0/3, B3/5,   */
                                      /* N7:0:5); a string file on PLC-2             */
    MIRA_ERR_RANGE = -39,             /* range too large, or an address no request   */
                                      /* field carries: a file number, element or    */
                                      /* slot above 65535, a station above 255, a    */
                                      /* slot on PLC-2 or PLC-5, an octal I/O number */
                                      /* with a digit 8 or 9, a bit above 15;        */
                                      /* nothing is sent                             */
    MIRA_ERR_GROUP_WRITE_TCC = -40,   /* group write to a timer, counter or control   */
    MIRA_ERR_NOTHING_OUTSTANDING = -50, /* a finish with no request of its own out:  */
                                      /* no start, its start failed, or the finish   */
                                      /* that ended the exchange was already called  */
    MIRA_ERR_CONTROLLER_STATUS = 256, /* controller status error, failed string read  */
    MIRA_ERR_ODD_ASCII_START = 257,   /* PLC-5 ASCII group write at an odd byte       */
    MIRA_ERR_NO_UNSOLICITED = 280,    /* no stored unsolicited frame; every discard   */
    MIRA_ERR_GROUP_WRITE_BIT = 32001  /* group write of a bit item or a string file   */
};

/* Portkit's codes. */
enum {
    /* Exchange codes (generic_port ErrorCode). The driver's receive handler
     * sets 0x100 when a frame runs past 511 message bytes; DF1 hosts know
     * that value, so it stays, and it is the one Portkit code that equals a
     * driver code (MIRA_ERR_CONTROLLER_STATUS). The others lie above every
     * driver code and every extended status. */
    MIRA_PK_ERR_OVERFLOW = 0x100,       /* a frame of more than 511 message bytes   */
    MIRA_PK_ERR_TIMEOUT = 0x1001,       /* no reply within the reply time-out        */
    MIRA_PK_ERR_SEND = 0x1002,          /* the bytes could not be written             */
    MIRA_PK_ERR_CLOSED = 0x1003,        /* the port is closed or the device vanished  */
    MIRA_PK_ERR_DISCONNECTED = 0x1004,  /* the TCP connection dropped and no reconnect */
    MIRA_PK_ERR_REFUSED = 0x1005,       /* DLE NAK to the frame and all its retransmissions */
    MIRA_PK_ERR_CANCELLED = 0x1006,     /* the host ended its waits (PkWatchCancel)  */

    /* Open codes (UDrvOpen *error). */
    MIRA_PK_ERR_NO_DEVICE = 0x1010,     /* the device or host does not exist          */
    MIRA_PK_ERR_BUSY = 0x1011,          /* the device is in use by another program    */
    MIRA_PK_ERR_PERMISSION = 0x1012,    /* no permission to open the device           */
    MIRA_PK_ERR_CONNECT = 0x1013,       /* TCP connect refused or timed out           */
    MIRA_PK_ERR_SETTINGS = 0x1014,      /* bad port name, baud or character format    */
    MIRA_PK_ERR_RESOURCES = 0x1015      /* no memory or no thread for the port        */
};

#endif /* MIRA_ERRORS_H */
