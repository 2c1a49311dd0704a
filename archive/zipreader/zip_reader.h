#pragma once

/* The project's own zip reader: the zip-reading calls the updater makes, as the mz_* functions, types and struct
 * layouts of the miniz API that its code is written against. Reads archives held in memory; inflates through zlib. */

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#define MZ_VERSION "11.0.2"

#define MZ_FALSE (0)
#define MZ_TRUE (1)
#define MZ_DEFLATED 8

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char mz_uint8;
typedef unsigned short mz_uint16;
typedef unsigned int mz_uint32;
typedef unsigned int mz_uint;
typedef uint64_t mz_uint64;
typedef int64_t mz_int64;
typedef int mz_bool;

typedef void* (*mz_alloc_func)(void* opaque, size_t items, size_t size);
typedef void (*mz_free_func)(void* opaque, void* address);
typedef void* (*mz_realloc_func)(void* opaque, void* address, size_t items, size_t size);

typedef size_t (*mz_file_read_func)(void* pOpaque, mz_uint64 file_ofs, void* pBuf, size_t n);
typedef size_t (*mz_file_write_func)(void* pOpaque, mz_uint64 file_ofs, const void* pBuf, size_t n);
typedef mz_bool (*mz_file_needs_keepalive)(void* pOpaque);

enum {
    MZ_ZIP_MAX_IO_BUF_SIZE = 64 * 1024,
    MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE = 512,
    MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE = 512
};

typedef enum {
    MZ_ZIP_MODE_INVALID = 0,
    MZ_ZIP_MODE_READING = 1,
    MZ_ZIP_MODE_WRITING = 2,
    MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED = 3
} mz_zip_mode;

typedef enum {
    MZ_ZIP_TYPE_INVALID = 0,
    MZ_ZIP_TYPE_USER,
    MZ_ZIP_TYPE_MEMORY,
    MZ_ZIP_TYPE_HEAP,
    MZ_ZIP_TYPE_FILE,
    MZ_ZIP_TYPE_CFILE,
    MZ_ZIP_TOTAL_TYPES
} mz_zip_type;

typedef enum {
    MZ_ZIP_FLAG_CASE_SENSITIVE = 0x0100,
    MZ_ZIP_FLAG_IGNORE_PATH = 0x0200,
    MZ_ZIP_FLAG_COMPRESSED_DATA = 0x0400,
    MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY = 0x0800,
    MZ_ZIP_FLAG_VALIDATE_LOCATE_FILE_FLAG = 0x1000,
    MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY = 0x2000,
    MZ_ZIP_FLAG_WRITE_ZIP64 = 0x4000,
    MZ_ZIP_FLAG_WRITE_ALLOW_READING = 0x8000,
    MZ_ZIP_FLAG_ASCII_FILENAME = 0x10000,
    MZ_ZIP_FLAG_WRITE_HEADER_SET_SIZE = 0x20000
} mz_zip_flags;

typedef enum {
    MZ_ZIP_NO_ERROR = 0,
    MZ_ZIP_UNDEFINED_ERROR,
    MZ_ZIP_TOO_MANY_FILES,
    MZ_ZIP_FILE_TOO_LARGE,
    MZ_ZIP_UNSUPPORTED_METHOD,
    MZ_ZIP_UNSUPPORTED_ENCRYPTION,
    MZ_ZIP_UNSUPPORTED_FEATURE,
    MZ_ZIP_FAILED_FINDING_CENTRAL_DIR,
    MZ_ZIP_NOT_AN_ARCHIVE,
    MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
    MZ_ZIP_UNSUPPORTED_MULTIDISK,
    MZ_ZIP_DECOMPRESSION_FAILED,
    MZ_ZIP_COMPRESSION_FAILED,
    MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE,
    MZ_ZIP_CRC_CHECK_FAILED,
    MZ_ZIP_UNSUPPORTED_CDIR_SIZE,
    MZ_ZIP_ALLOC_FAILED,
    MZ_ZIP_FILE_OPEN_FAILED,
    MZ_ZIP_FILE_CREATE_FAILED,
    MZ_ZIP_FILE_WRITE_FAILED,
    MZ_ZIP_FILE_READ_FAILED,
    MZ_ZIP_FILE_CLOSE_FAILED,
    MZ_ZIP_FILE_SEEK_FAILED,
    MZ_ZIP_FILE_STAT_FAILED,
    MZ_ZIP_INVALID_PARAMETER,
    MZ_ZIP_INVALID_FILENAME,
    MZ_ZIP_BUF_TOO_SMALL,
    MZ_ZIP_INTERNAL_ERROR,
    MZ_ZIP_FILE_NOT_FOUND,
    MZ_ZIP_ARCHIVE_TOO_LARGE,
    MZ_ZIP_VALIDATION_FAILED,
    MZ_ZIP_WRITE_CALLBACK_FAILED,
    MZ_ZIP_TOTAL_ERRORS
} mz_zip_error;

struct mz_zip_internal_state_tag;
typedef struct mz_zip_internal_state_tag mz_zip_internal_state;

typedef struct {
    mz_uint64 m_archive_size;
    mz_uint64 m_central_directory_file_ofs;
    mz_uint32 m_total_files;
    mz_zip_mode m_zip_mode;
    mz_zip_type m_zip_type;
    mz_zip_error m_last_error;
    mz_uint64 m_file_offset_alignment;
    mz_alloc_func m_pAlloc;
    mz_free_func m_pFree;
    mz_realloc_func m_pRealloc;
    void* m_pAlloc_opaque;
    mz_file_read_func m_pRead;
    mz_file_write_func m_pWrite;
    mz_file_needs_keepalive m_pNeeds_keepalive;
    void* m_pIO_opaque;
    mz_zip_internal_state* m_pState;
} mz_zip_archive;

typedef struct {
    mz_uint32 m_file_index;
    mz_uint64 m_central_dir_ofs;
    mz_uint16 m_version_made_by;
    mz_uint16 m_version_needed;
    mz_uint16 m_bit_flag;
    mz_uint16 m_method;
    mz_uint32 m_crc32;
    mz_uint64 m_comp_size;
    mz_uint64 m_uncomp_size;
    mz_uint16 m_internal_attr;
    mz_uint32 m_external_attr;
    mz_uint64 m_local_header_ofs;
    mz_uint32 m_comment_size;
    mz_bool m_is_directory;
    mz_bool m_is_encrypted;
    mz_bool m_is_supported;
    char m_filename[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    char m_comment[MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE];
    time_t m_time;
} mz_zip_archive_file_stat;

/* Opens the archive held in pMem (size bytes, kept by the caller until end) on a zeroed pZip; 1 on success. */
mz_bool mz_zip_reader_init_mem(mz_zip_archive* pZip, const void* pMem, size_t size, mz_uint flags);

/* Number of entries in the central directory (the last count reached, even after end or a failed init). */
mz_uint mz_zip_reader_get_num_files(mz_zip_archive* pZip);

/* Fills *pStat from the central record of entry file_index; 1 on success. */
mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index, mz_zip_archive_file_stat* pStat);

/* Copies entry file_index's name (at most filename_buf_size - 1 bytes, then a NUL) and returns the bytes copied
   plus one; with filename_buf_size 0, the stored name's length plus one. 0 for a bad index. */
mz_uint mz_zip_reader_get_filename(mz_zip_archive* pZip, mz_uint file_index, char* pFilename,
                                   mz_uint filename_buf_size);

/* 1 when the entry's name ends in '/' or its DOS directory attribute is set. */
mz_bool mz_zip_reader_is_file_a_directory(mz_zip_archive* pZip, mz_uint file_index);

/* 1 when the entry is marked encrypted (traditional or strong). */
mz_bool mz_zip_reader_is_file_encrypted(mz_zip_archive* pZip, mz_uint file_index);

/* 1 when the entry can be extracted: stored or deflated, not encrypted, not patch data; stores why not. */
mz_bool mz_zip_reader_is_file_supported(mz_zip_archive* pZip, mz_uint file_index);

/* Decodes entry file_index and hands its bytes to pCallback in order; 1 when size and CRC-32 match. */
mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index, mz_file_write_func pCallback,
                                          void* pOpaque, mz_uint flags);

/* The stored error code, which is then reset to MZ_ZIP_NO_ERROR. */
mz_zip_error mz_zip_get_last_error(mz_zip_archive* pZip);

/* The stored error code, left in place. */
mz_zip_error mz_zip_peek_last_error(mz_zip_archive* pZip);

/* Fixed English text for an error code. */
const char* mz_zip_get_error_string(mz_zip_error mz_err);

/* Releases what init allocated; the caller's archive buffer is left alone. 1 on success. */
mz_bool mz_zip_reader_end(mz_zip_archive* pZip);

/* The project's own addition: opens a zeroed pZip as one more reader of the archive pSource has open, over pSource's
   parsed central directory instead of a copy of its own. Each reader keeps its own last error; the directory is only
   read, so readers on several threads may share it. pSource must stay open until pZip is ended. 1 on success. */
mz_bool ZipReaderShareDirectory(mz_zip_archive* pZip, const mz_zip_archive* pSource);

#ifdef __cplusplus
}
#endif
