/*
 * portkit_codes.h - the ErrorCode values of MIRA's Portkit.
 *
 * A finish function hands the port's ErrorCode to the host unchanged when an
 * exchange fails on the link, so these are the codes a host sees for link
 * failures. UDrvOpen's *error carries the open codes.
 */
#ifndef MIRA_PORTKIT_CODES_H
#define MIRA_PORTKIT_CODES_H

enum {
    /* Exchange codes (generic_port ErrorCode). The receive handler sets
     * 0x100, which has the same value as MIRA_ERR_CONTROLLER_STATUS; the
     * others lie above every driver code and every extended status. */
    MIRA_PK_ERR_OVERFLOW = 0x100,       /* a frame of more than 511 message bytes   */
    MIRA_PK_ERR_TIMEOUT = 0x1001,       /* no reply within the reply time-out        */
    MIRA_PK_ERR_SEND = 0x1002,          /* the bytes could not be written             */
    MIRA_PK_ERR_CLOSED = 0x1003,        /* the port is closed or the device vanished  */
    MIRA_PK_ERR_DISCONNECTED = 0x1004,  /* the TCP connection dropped during the exchange */
    MIRA_PK_ERR_REFUSED = 0x1005,       /* DLE NAK to the frame and all its retransmissions */

    /* Open codes (UDrvOpen *error). */
    MIRA_PK_ERR_NO_DEVICE = 0x1010,     /* the device or host does not exist          */
    MIRA_PK_ERR_BUSY = 0x1011,          /* the device is in use by another program    */
    MIRA_PK_ERR_PERMISSION = 0x1012,    /* no permission to open the device           */
    MIRA_PK_ERR_CONNECT = 0x1013,       /* TCP connect refused or timed out           */
    MIRA_PK_ERR_SETTINGS = 0x1014,      /* bad port name, baud or character format    */
    MIRA_PK_ERR_RESOURCES = 0x1015      /* no memory or no thread for the port        */
};

#endif /* MIRA_PORTKIT_CODES_H */
