/*
 * filekey.h - a registry-shaped configuration store on the file system.
 *
 * A key is a folder; each named value of the key is a file in that folder
 * holding the value's bytes (no terminator). Domains:
 *   1  system only: "/etc/<key>"
 *   2  user only:   "<home>/.local/etc/<key>"
 *   3  both: the user folder is the key's own folder, the system folder
 *      gives defaults under the user's values.
 * Any other domain, or an empty key name, gives no key (null). Every call
 * accepts a null key: reads return their default, writes and deletes do
 * nothing, listings are empty. Values are read up to FKEY_MAX_VALUE_SIZE
 * bytes; longer files are cut there. Nothing is locked: each operation
 * opens, uses and closes its own files. Using a closed key or listing is a
 * programming error (its tag check stops the program).
 *
 *     fkey_t* key = fkey_read(1, "com.example.tool");
 *     char* text = fkey_get_string(key, ma, "mode", "plain");
 *     fkey_close(key);
 */
#ifndef FILEKEY_H
#define FILEKEY_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    fkey_domain_system = 1,
    fkey_domain_user = 2,
    fkey_domain_both = 3,
};

#define FKEY_TAG            0x79656b66u /* "fkey" */
#define FKEY_LIST_TAG       0x006c6b66u /* "fkl" */
#define FKEY_MAX_VALUE_SIZE 0x8000

/* An open key: one allocation holding both folder names. */
typedef struct fkey_t {
    uint32_t tag;                     /* FKEY_TAG; cleared when closed */
    const char* defaults_folder_name; /* the system folder in domain 3, else "" */
    char folder_name[];               /* the key's own folder; "" when only the
                                         defaults exist (opened for reading) */
} fkey_t;

/* A listing in progress: the key's own folder first, then the defaults. */
typedef struct fkey_list_t fkey_list_t;

fkey_t* fkey_create(int domain, const char* key_name);
fkey_t* fkey_write(int domain, const char* key_name);
fkey_t* fkey_read(int domain, const char* key_name);
void fkey_close(fkey_t* key);

/* The value's text from res_ma (zero-terminated), or a copy of def, or null
 * when there is no def. Value names holding '/' or naming "." or ".." are
 * never looked up. */
char* fkey_get_string(fkey_t* key, malloc_i* res_ma, const char* value_name, const char* def);
/* Writes text into the key's own folder (a new file gets mode 0664). A
 * partial write leaves the value empty. Failures are not reported. */
void fkey_set_string(fkey_t* key, const char* value_name, const char* text);
void fkey_delete_val(fkey_t* key, const char* value_name);

fkey_list_t* fkey_list_val(fkey_t* key);
/* The next value name (valid until the next call) or null at the end. */
const char* fkey_list_next(fkey_list_t* list);
void fkey_list_close(fkey_list_t* list);

#ifdef __cplusplus
}
#endif

#endif
