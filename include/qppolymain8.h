/*
 * qppolymain8.h - the multi-command dispatcher of every program.
 *
 * The first argument names a command; its handler gets the rest. Commands
 * are static declarations linked, before main runs, into lists kept in
 * ascending order of their names under ASCII case folding; of two equal
 * names the later registered stands first and is the one found. Nothing is
 * allocated or copied: names and help texts must outlive the registration.
 * Help texts are user-text ids or literal texts; a null short or long help
 * stands for the id "<name>_short_help" / "<name>_long_help".
 *
 * The lists carry no lock: they change only during static initialisation and
 * at exit, single-threaded.
 *
 *     static int run_start(int argc, char** argv);
 *     static declare_main8_c decl_start(0, "start", run_start, 0, 0);
 *     int main(int argc, char** argv) { return poly_main_entry(argc, argv, main8); }
 */
#ifndef QPPOLYMAIN8_H
#define QPPOLYMAIN8_H

#include "qpbase.h"
#include "qpsys.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*main8_func_t)(int argc, char** argv);

typedef struct declare_main8_t {
    struct declare_main8_t** prev; /* the link pointing here; null while unregistered */
    struct declare_main8_t* next;
    const char* name;
    const char* short_help;
    const char* long_help;
    main8_func_t func;
} declare_main8_t;

/* The program's public commands, used when no list is given. */
extern declare_main8_t* default_main8_list;
/* Built-in commands that are never listed: "version". */
extern declare_main8_t* internal_main8_list;

void declare_main8_init(declare_main8_t* t, declare_main8_t** list_head, const char* name,
                        main8_func_t func, const char* short_help, const char* long_help);
/* t, or null when it was not registered. */
declare_main8_t* declare_main8_term(declare_main8_t* t);

/* The build tag and copyright line every program of the system shows. */
#define QP_BUILD_TAG "23X"
#define QP_COPYRIGHT_LINE "Copyright (c) 2026 The qptrace developers"

/* Runs the command named by argv[0] (argc and argv are the arguments after
 * the program name) or answers a help request; returns the exit status. */
int poly_main8(declare_main8_t** main_list, int argc, char** argv, const char* command_name,
               const char* application_name, const char* build_tag, const char* copyright);
/* 0 or -1; *out_func (which must be null) receives the chosen handler. */
int poly_main8_find(declare_main8_t** main_list, int argc, char** argv, main8_func_t* out_func);
/* 0 when equal ignoring leading dashes, ASCII case, and with ' ', '-' and
 * '_' as one character; else -1 or 1. */
int cmd_name_cmp(const char* a, const char* b);
int polymain8_version_main(int argc, char** argv);

/* The entry of every program: records the arguments and runs main8 on
 * their UTF-8 form; -1 when there is none. */
static inline int poly_main_entry(int argc, char** argv, int (*main8)(int argc, char** argv8))
{
    int argc8 = 0;
    char** argv8;
    proc_set_argv_main(argc, argv);
    argv8 = proc_get_argv8(&argc8);
    return argv8 ? main8(argc8, argv8) : -1;
}

#ifdef __cplusplus
}

/* A command declared by a static object: registered by its constructor,
 * unregistered by its destructor. */
struct declare_main8_c : declare_main8_t {
    declare_main8_c(declare_main8_t** list_head, const char* name, main8_func_t handler,
                    const char* short_help_text, const char* long_help_text)
        : declare_main8_t()
    {
        declare_main8_init(this, list_head, name, handler, short_help_text, long_help_text);
    }
    ~declare_main8_c()
    {
        declare_main8_term(this);
    }
    declare_main8_c(const declare_main8_c&) = delete;
    declare_main8_c& operator=(const declare_main8_c&) = delete;
};
#endif

#endif
