/*
 * ssargv.c - command lines: splitting a line into arguments, encoding one
 * argument so that the splitter gives it back, and joining arguments.
 *
 * Splitting rules: space, tab, CR and LF outside quotes separate arguments;
 * a double quote toggles quoting and is removed (a quote starts an
 * argument, so "" is an empty argument); a backslash takes the next
 * character literally, and a backslash at the very end is dropped. The
 * splitter runs twice over the line, counting and then filling, so the
 * result is one allocation: the null-terminated pointer array followed by
 * the texts.
 *
 * The encoder quotes empty arguments and arguments with white space, "*" or
 * "?", writes tab, LF and CR as backslash + t, n, r (for reading by people
 * and shells: the splitter reads them back as the letters), and puts a
 * backslash before " $ ' \ and the backquote.
 */
#include "sstring.h"

static int ss_argv_is_separator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* One pass of the splitter. With argv null it only counts; otherwise it
 * stores the pointers into argv and the texts at text. Returns the count;
 * *units receives the text units including one terminator per argument. */
static size_t ss_argv_split(const char* line, size_t len, char** argv, char* text, size_t* units)
{
    size_t count = 0, used = 0, i = 0;

    len = ss8lenn(line, len);
    for (;;) {
        int quoted = 0;

        while (i < len && ss_argv_is_separator(line[i]))
            i++;
        if (i >= len)
            break;
        if (argv)
            argv[count] = text + used;
        count++;
        for (; i < len && (quoted || !ss_argv_is_separator(line[i])); i++) {
            if (line[i] == '"') {
                quoted = !quoted;
                continue;
            }
            if (line[i] == '\\' && ++i >= len)
                break;
            if (argv)
                text[used] = line[i];
            used++;
        }
        if (argv)
            text[used] = 0;
        used++;
    }
    *units = used;
    return count;
}

char** ss8toargvmn(malloc_i* ma, int* argc, const char* program, const char* text, size_t len)
{
    size_t program_len = program ? ss8len(program) + 1 : 0, units, count, array_size;
    char** argv;
    char* texts;

    *argc = 0;
    count = ss_argv_split(text, len, 0, 0, &units) + (program ? 1 : 0);
    if (count >= 0x7FFFFFFF)
        return 0;
    array_size = (count + 1) * sizeof(char*);
    argv = (char**)ma_alloc(ma, array_size + program_len + units);
    if (!argv)
        return 0;
    texts = (char*)argv + array_size;
    if (program) {
        argv[0] = texts;
        ss8move(texts, program, program_len - 1);
    }
    ss_argv_split(text, len, argv + (program ? 1 : 0), texts + program_len, &units);
    *argc = (int)count;
    return argv;
}

char** ss8toargvm(malloc_i* ma, int* argc, const char* program, const char* text)
{
    return ss8toargvmn(ma, argc, program, text, SS_UNBOUNDED);
}

static int ss_arg_needs_quotes(const char* arg)
{
    if (!arg || !*arg)
        return 1;
    for (; *arg; arg++)
        if (ss_argv_is_separator(*arg) || *arg == '*' || *arg == '?')
            return 1;
    return 0;
}

static void ss_arg_put(char* dest, size_t* len, char c)
{
    if (dest)
        dest[*len] = c;
    (*len)++;
}

size_t ss8encodearg(const char* arg, int first, char* dest)
{
    int quoted = ss_arg_needs_quotes(arg);
    size_t len = 0;

    (void)first; /* the program name follows the same rules */
    if (quoted)
        ss_arg_put(dest, &len, '"');
    for (; arg && *arg; arg++) {
        char c = *arg;
        if (c == '\t' || c == '\n' || c == '\r') {
            ss_arg_put(dest, &len, '\\');
            c = c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
        } else if (c == '"' || c == '$' || c == '\'' || c == '\\' || c == '`') {
            ss_arg_put(dest, &len, '\\');
        }
        ss_arg_put(dest, &len, c);
    }
    if (quoted)
        ss_arg_put(dest, &len, '"');
    return len;
}

char* ss8fromargvm(malloc_i* ma, size_t* rest_index, const char* const* argv)
{
    size_t total = 0, count, len = 0;
    char* line;

    for (count = 0; argv && argv[count]; count++)
        total += ss8encodearg(argv[count], count == 0, 0) + (count > 0);
    line = (char*)ma_alloc(ma, total + 1);
    if (!line)
        return 0;
    for (count = 0; argv && argv[count]; count++) {
        if (count > 0)
            line[len++] = ' ';
        if (count == 1 && rest_index)
            *rest_index = len;
        len += ss8encodearg(argv[count], count == 0, line + len);
    }
    if (count < 2 && rest_index)
        *rest_index = len;
    QP_ASSERT(len == total && line[len] == 0);
    return line;
}
