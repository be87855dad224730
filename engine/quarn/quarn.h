/*
 * quarn.h - public C interface of the Quarn transfer engine (libquarn.so.1).
 *
 * The engine runs one current download on a thread of its own and keeps a
 * registry of files offered for sharing. Eight plain C functions make up the
 * whole interface; nothing else is exported.
 *
 * Conventions for every function below:
 *   - Strings passed in are NUL-terminated and only read during the call; the
 *     engine copies what it keeps. UTF-16 text is char16_t in host byte order.
 *     8-bit text (setShareFile3 only) is in code page 949.
 *   - Strings returned are owned by the engine, never NULL, and stay valid
 *     until the next call of the same function on the same thread. Do not
 *     free them.
 *   - Sizes are signed 64-bit byte counts.
 *   - Every function may be called from any thread at any time, also
 *     concurrently with the others. None blocks on the network; only
 *     stopDownload waits, for the transfer thread to close its file.
 *   - Local paths: "X:\dir\file" maps to $QUARN_DRIVE_ROOT/x/dir/file
 *     (default ${XDG_DATA_HOME:-~/.local/share}/quarn/drives); absolute POSIX
 *     paths are used as given. A path that would leave its root is rejected.
 *
 * HTTPS: certificates are always verified (chain, validity dates, host name)
 * and the connection is refused otherwise. The trust store is the system's
 * unless the environment names another: QUARN_CA_FILE, a PEM file that is
 * then the only trust store; else, after the OpenSSL convention,
 * SSL_CERT_FILE (a PEM bundle) and SSL_CERT_DIR (a directory of certificates
 * by subject hash), each replacing its half of the system store. Empty
 * variables count as unset. The engine reads them as a download sets up its
 * connections: set them before startDownload and leave them alone while a
 * download runs (setenv is not thread-safe).
 *
 * Sharing: the first successful registration starts the engine's share
 * server, on a thread of its own, at QUARN_SHARE_LISTEN ("host:port", read
 * once then; default QUARN_SHARE_LISTEN_DEFAULT, this machine only;
 * 0.0.0.0:PORT opens it to the LAN; "off" disables it). It answers GET and
 * HEAD of http://host:port/{site}/{hash} (each segment percent-encoded) with
 * the registered file, single byte ranges included, and of
 * http://host:port/{site}/{hash}.meta4 with the file's Metalink 4 document,
 * to anyone who can reach the port; nothing else is ever served. The engine
 * hashes each registered file once, in the background: until then the
 * document answers 503 with Retry-After, afterwards the file's answers carry
 * Repr-Digest (SHA-256) and a Link to the document. Only a readable regular
 * file on a real file system is registered (not on procfs, sysfs and the
 * like). A file removed, replaced or changed in any way since its
 * registration (size, modification or change time) leaves the registry; one
 * that changes while it is being sent has that answer cut short before its
 * length. Limits: 32 connections per client address (an IPv6 client counts
 * by its /64) and 2048 in all, 503 beyond; a connection whose request head
 * is not complete 10 s after it connected (for later requests: after their
 * first byte), or that is silent for 30 s, is dropped. QUARN_SHARE_RATE
 * caps the upload in bytes per second, all peers together, shared fairly
 * among those receiving (unset: unlimited). To hold its connections the
 * server raises the process's soft limit on open descriptors, within the
 * hard limit. If the address cannot be used (a busy port, say) sharing
 * stays off and registrations answer as before. The server stops when the
 * process exits.
 */
#ifndef QUARN_H
#define QUARN_H

#include <stdint.h>
#if !defined(__cplusplus)
#include <uchar.h>
#endif

#define QUARN_VERSION_MAJOR 1
#define QUARN_VERSION_MINOR 0
#define QUARN_VERSION_PATCH 0
#define QUARN_VERSION "1.0.0"
/* 0xMMmmpp, comparable with >= */
#define QUARN_VERSION_NUM 0x010000

/* Where the share server listens when QUARN_SHARE_LISTEN is unset or empty. */
#define QUARN_SHARE_LISTEN_DEFAULT "127.0.0.1:48081"

#if defined(QUARN_BUILDING_LIBRARY)
#define QUARN_API __attribute__((visibility("default")))
#else
#define QUARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Download states, the result of getDownloadState and the "state" member of
 * getDownloadStateJson. */
#define QUARN_STATE_PREPARING 0    /* accepted, not yet connecting */
#define QUARN_STATE_CONNECTING 1   /* request sent, waiting for the response */
#define QUARN_STATE_RECEIVING 2    /* body arriving */
#define QUARN_STATE_COMPLETE 3     /* all bytes written, file renamed into place */
#define QUARN_STATE_STOPPED 4      /* ended by stopDownload; .part kept */
#define QUARN_STATE_WRITE_ERROR 5  /* disk full, I/O error, rename failed */
#define QUARN_STATE_SERVER_ERROR 6 /* unreachable, HTTP error, stalled, wrong length */

/* Start errors, the negative results of startDownload and the "err" member
 * of the startDownloadJson reply. */
#define QUARN_ERR_FILE_EXISTS (-1) /* the final local file already exists */
#define QUARN_ERR_PARAMETER (-2)   /* empty or malformed parameter */
#define QUARN_ERR_FILE_CREATE (-3) /* the .part file cannot be created */
#define QUARN_ERR_DISK_FULL (-4)   /* free space below the bytes to fetch */
#define QUARN_ERR_DIRECTORY (-5)   /* the directory cannot be created */
#define QUARN_ERR_OPERATION (-6)   /* already downloading, or cannot start */

/*
 * setShareFile - register a local file for sharing, described by JSON.
 *
 * json: UTF-16 text of one object with the string members "site", "hash"
 *   (32 hex digits), "localfilename" and "filesize" (decimal, as a string or
 *   a number); other members are ignored. NULL is rejected.
 * Returns nonzero when the file is a readable regular file of exactly that
 *   size on a real file system and is now registered (replacing an entry
 *   with the same site and hash); 0 for bad JSON, missing or mistyped
 *   members, a bad path or a file that does not match. A registered file is served to peers at
 * /{site}/{hash} (see Sharing above) for as long as it stays the file that was registered.
 */
QUARN_API int32_t setShareFile(const char16_t* json);

/*
 * setShareFile2 - register a local file for sharing, by UTF-16 fields.
 *
 * sitename, hash, localfilename: UTF-16, none may be NULL or empty; hash is
 *   32 hex digits. size: the file's exact size in bytes, > 0.
 * Returns nonzero when registered, 0 otherwise (as setShareFile), and
 *   serves the file as setShareFile does.
 */
QUARN_API int32_t setShareFile2(const char16_t* sitename, const char16_t* hash,
                                const char16_t* localfilename, int64_t size);

/*
 * setShareFile3 - register a local file for sharing, by 8-bit fields.
 *
 * sitename, localfilename, hash: code page 949 text, in this order (the path
 *   before the hash, unlike setShareFile2). Otherwise as setShareFile2; the
 *   site in the URL is its UTF-8 form, percent-encoded.
 */
QUARN_API int32_t setShareFile3(const char* sitename, const char* localfilename, const char* hash,
                                int64_t size);

/*
 * startDownload - start the one current download.
 *
 * Fetches http://{server}/{site}/{serverfilename} ("https://" before server
 * selects TLS) into {localfilename}.part, resuming a .part left by an earlier
 * run, and renames it to localfilename once filesize bytes have arrived.
 * user_name non-empty sends Basic auth with user_pwd; user_params is sent as
 * the query string; index and hash are sent as request headers. Redirects
 * are followed (at most 5); credentials, index and hash go only to the
 * scheme, host and port that `server` names. No argument may be NULL; site,
 * server, serverfilename, localfilename must not be empty, hash must be 32
 * hex digits, filesize > 0, and no component of localfilename may be "." or
 * "..", or end in a dot or a space.
 *
 * What reaches the file: every response is checked before a byte of it is
 * written (status, Content-Range, Content-Length against filesize, identity
 * encoding only), and bytes the .part already holds are compared, never
 * overwritten blindly; a response rejected part-way leaves the .part as it
 * was. QUARN_STATE_COMPLETE is reported only once every byte is verified (see
 * Trust below) and the data and the rename are flushed to the disk. A drive
 * path is reached without following any link below the drive root: a link on
 * the way is QUARN_ERR_DIRECTORY, a link as the .part QUARN_ERR_FILE_CREATE,
 * and a link at the final name counts as an existing file. A response whose
 * body brings no byte for 30 s, or whose head is not complete 30 s after the
 * request, is a stall. While a download runs its .part is locked (an open
 * file description lock): a start on a file that another download, of this
 * or another process, holds answers QUARN_ERR_OPERATION and touches nothing.
 * A download that fails before a byte arrived removes the .part it created.
 *
 * Trust: the origin (`server`) is the trust root, never a peer.
 *   - Its Metalink 4 document (RFC 5854), named by a Link with rel
 *     "describedby" and type "application/metalink4+xml" (RFC 6249) on its
 *     first answer, else fetched from {serverfilename}.meta4 beside the file,
 *     gives SHA-256 piece hashes: every piece, from any source, is read back
 *     from the disk and verified before it counts. A bad piece from a peer
 *     drops that peer and is fetched again elsewhere; a bad piece from the
 *     origin, a document of another size, or one that cannot be read ends in
 *     QUARN_STATE_SERVER_ERROR (a document of another size before a byte is
 *     written). An answer that is not a Metalink 4 document (404, a page,
 *     other bytes, more than 8 MiB) counts as no document.
 *   - Requests to the origin carry Want-Repr-Digest; a Repr-Digest (RFC 9530)
 *     on its first answer is checked against the whole file before
 *     QUARN_STATE_COMPLETE.
 *   - Its strong ETag (else Last-Modified) from the first answer goes with
 *     every later range request as If-Range: an answer showing that the file
 *     changed is never stitched to what came before. Without a document the
 *     download starts over from that answer; with one it ends in
 *     QUARN_STATE_SERVER_ERROR.
 *   - Without a validator or a document, a resume fetches the last 64 KiB an
 *     earlier run left again and compares them; a difference means the .part
 *     is not the origin's file any more and its old bytes are fetched anew.
 *
 * Pieces, connections and peers: a file larger than 8 MiB is fetched over up
 * to QUARN_CONNECTIONS connections at once (1..16, default 4), and from the
 * peers in QUARN_PEERS ("host:port,..."; share servers of other engines,
 * asked for /{site}/{hash} over plain HTTP) that answer a HEAD with filesize
 * bytes. Peers are used only when the origin's document gives piece hashes,
 * or when QUARN_TRUST_PEERS=1 says they are trusted like a mirror list;
 * credentials, index and hash go to the origin only. Work goes to sources by
 * their measured rate; a connection far slower than the best hands the rest
 * of its range to a faster one, and the last ranges are also asked of idle
 * fast connections (the first copy wins). A source that answers an extra
 * connection with 503 or 429 (or refuses it) while others work keeps the
 * connections it carries and is tried again after its Retry-After; a source
 * that fails is dropped for this download, which fails only when no source
 * is left. A server that answers a range with the whole file is read over
 * one connection. What is on disk and verified is kept in
 * {localfilename}.part.map, which names its download (server, site, file,
 * size, validator, document) and is believed only by that download; a byte
 * enters it only after it is flushed to the disk, so a stop, a crash or a
 * power cut loses at most what was in flight. The map goes with the rename.
 * The environment is read when the download starts.
 *
 * Over HTTPS the server's certificate must verify against the trust store
 * described at the top of this file; a certificate that does not (untrusted,
 * expired, for another host, or a CA file that cannot be read) ends in
 * QUARN_STATE_SERVER_ERROR before a byte is written. A redirect from
 * https:// to http:// is refused the same way, so credentials and the index
 * and hash headers never travel in clear.
 *
 * Returns 0 when the transfer thread has taken the download, or one of the
 * QUARN_ERR_ codes, checked in this order: -2; -6 while the previous download
 * is still running or finishing (and when the engine cannot start one); then
 * -1, -5, -3, -4. A refused start creates and changes nothing on disk.
 */
QUARN_API int32_t startDownload(const char16_t* site, const char16_t* server,
                                const char16_t* serverfilename, const char16_t* index,
                                const char16_t* localfilename, const char16_t* hash,
                                int64_t filesize, const char16_t* user_name,
                                const char16_t* user_pwd, const char16_t* user_params);

/*
 * startDownloadJson - startDownload with the request as a JSON object.
 *
 * request: UTF-16 JSON object with the string members of startDownload
 *   ("filesize" as a decimal string or a number). NULL or malformed JSON is a
 *   parameter error.
 * Returns the reply {"err":N}, N as startDownload's result. Engine-owned.
 */
QUARN_API const char16_t* startDownloadJson(const char16_t* request);

/*
 * getDownloadState - poll the current download.
 *
 * nSpeed: KiB/s, smoothed over about two seconds. nRemainTime: seconds,
 * -1 while running and not yet known. nReceivedFileSize: bytes this download
 * added to the file (bytes fetched again only to be compared are not
 * counted). nAbsFilesize: bytes of the file on disk now, resumed bytes
 * included. Any out pointer may be NULL. With no download yet every value is
 * 0 and the state is QUARN_STATE_PREPARING. Once a download has ended in any
 * way its last figures stay until the next start, with speed 0 and
 * remaining time 0: there is nothing left to wait for.
 *
 * Returns the QUARN_STATE_ code. Lock-free: cheap enough to call at any rate.
 */
QUARN_API int32_t getDownloadState(int32_t* nSpeed, int32_t* nRemainTime,
                                   int64_t* nReceivedFileSize, int64_t* nAbsFilesize);

/*
 * getDownloadStateJson - poll the current download as JSON.
 *
 * Returns {"state":S,"speed":N,"remain_time":N,"receive_size":N,
 * "current_file_size":N,"filesize":N}: integers, units as getDownloadState.
 * In states 5 and 6 a string member "cause" follows when the engine knows
 * why, in a few ASCII words, e.g. "HTTP 404 Not Found" (the status, and its
 * reason phrase when it is a common one), "connection refused", "stalled",
 * "length differs", "disk full". It is meant for people: show it, do not
 * parse it. Readers ignore members they do not know; later versions may add
 * more. Engine-owned.
 */
QUARN_API const char16_t* getDownloadStateJson(void);

/*
 * stopDownload - stop the current download.
 *
 * Returns once the transfer has stopped and its file is closed; the state is
 * then QUARN_STATE_STOPPED and the .part file is kept for a later resume.
 * With nothing running, after completion, or when called again it does
 * nothing (a finished download stays QUARN_STATE_COMPLETE). Returns 0.
 */
QUARN_API int32_t stopDownload(void);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */
