/* Parses each message named on the command line with GMime and prints one
 * line per message: the name as given, the part count and the decoded
 * Subject. Built natively and for Windows by cross-gmime-check.sh, whose
 * two outputs must match byte for byte. */
#include <gmime/gmime.h>
#include <fcntl.h>
#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#endif

/* Control characters escaped, so that one message is one line. */
static void print_escaped(const char *s)
{
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c < 0x20 || c == 0x7f)
            printf("\\x%02x", c);
        else
            putchar(c);
    }
}

static void count_part(GMimeObject *parent, GMimeObject *part, gpointer data)
{
    (void)parent;
    (void)part;
    ++*(unsigned *)data;
}

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY); /* no CR before each LF */
#endif
    g_mime_init();
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        GError *err = NULL;
        GMimeStream *stream = g_mime_stream_fs_open(argv[i], O_RDONLY, 0, &err);
        if (!stream) {
            printf("%s\topen failed: %s\n", argv[i], err->message);
            g_clear_error(&err);
            ++failures;
            continue;
        }
        GMimeParser *parser = g_mime_parser_new_with_stream(stream);
        GMimeMessage *message = g_mime_parser_construct_message(parser, NULL);
        if (!message) {
            printf("%s\tnot a message\n", argv[i]);
        } else {
            unsigned parts = 0;
            g_mime_message_foreach(message, count_part, &parts);
            const char *subject = g_mime_message_get_subject(message);
            printf("%s\t%u parts\t", argv[i], parts);
            print_escaped(subject ? subject : "(no subject)");
            putchar('\n');
            g_object_unref(message);
        }
        g_object_unref(parser);
        g_object_unref(stream);
    }
    g_mime_shutdown();
    return failures ? 1 : 0;
}
