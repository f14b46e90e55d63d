/*
 * tessel: an INI reader. Values of any length come through whole.
 */
#ifndef TESSEL_H
#define TESSEL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tessel tessel;

/* A reader with no sources, or null. */
tessel *new_tessel(void);
/* Reads an INI file into the reader; 0 on success, -1 when it cannot be
 * read or parsed (the reader keeps what it had before). Lines are
 * "[section]", "key = value" (spaces around both trimmed) and comments
 * starting with ';' or '#'. A line without '=', or a key or section that
 * appears twice in one file, makes the file unparsable. */
int tessel_add_ini_file_source(tessel *reader, const char *path);
/* The value of key in section, or with a null section the first value of
 * key in any section (files in the order added, sections in file order;
 * keys before the first section come first). An empty section name means
 * the keys before the first section. Section and key names match without
 * regard to ASCII case. subsection is unused and null. The value belongs to
 * the reader and stays valid until delete_tessel. */
const char *tessel_get_attrib_val(tessel *reader, const char *section, const char *subsection,
                                  const char *key);
void delete_tessel(tessel *reader);

#ifdef __cplusplus
}
#endif
#endif
