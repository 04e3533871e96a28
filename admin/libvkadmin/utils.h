// Common services of the administration library: the keyed list, string
// arrays, small text and memory helpers, and the diagnostics channels.
#ifndef VK_UTILS_H
#define VK_UTILS_H

#include <stddef.h>
#include <stdio.h>  // glibc's dprintf(int, const char *, ...) lives here; ours overloads it

// One node of a singly linked list held in byte order of its keys. The node
// owns its key (malloc'd) and its payload (released by the caller's callback).
typedef struct vk_LinkedList {
    char *key;
    void *node;
    struct vk_LinkedList *next;
} vk_LinkedList_t;

// Releases one payload; given to the list free operations.
typedef void (*vk_freeFunc_t)(void *payload);

enum { VK_LIST_ASCENDING = 0, VK_LIST_DESCENDING = 1 };

vk_LinkedList_t *vk_allocLinkedListNode(void);
// Links a node that takes over `key` and `payload`; on failure both stay the caller's.
int vk_addNode2List(vk_LinkedList_t **list, char *key, void *payload, int order);
// Links `chain` (nodes joined by `next`, in the order they came) into the
// list exactly as vk_addNode2List would link them one after the other, but
// with one sort and one merge instead of a walk of the list per node. The
// nodes are taken over on success; on failure (-6: an absent list, key or
// payload, or a bad order; -10) the list and the chain are left as they were.
int vk_addNodes2List(vk_LinkedList_t **list, vk_LinkedList_t *chain, int order);
int vk_findLinkedListNode(vk_LinkedList_t *list, const char *key, void **payload);
void vk_freeLinkedListNode(vk_LinkedList_t *node, vk_freeFunc_t freefn);
void vk_freeLinkedList(vk_LinkedList_t *list, vk_freeFunc_t freefn);

// Frees a NULL-terminated array of owned texts and the array.
void vk_free_array(char **array);

// Zeroed memory; ends the process with status 1 when memory is exhausted.
void *safe_malloc(size_t size);
char *safe_strdup(const char *text);
char *strip_leading_and_trailing_whitespace(const char *text);
int is_numeric(const char *text);
int is_substring(const char *haystack, const char *needle);
// 1 when `text` is a non-empty word of letters, digits, ".", "_" and "-"
// only: the values that may be placed on a shell command line unquoted.
int is_shell_safe(const char *text);
int parse_key_and_value(const char *line, char **key, char **value);

// Diagnostics: failure reports (muteable), debug categories, admin records.
void dprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dlprintf(const char *tag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int gdebug(const char *tag);
void set_gdebug(const char *categories);
void set_suppress_output(int mute);
void log_admin(const char *name, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A program that wants to tell its user why a call failed may watch the
// failure reports: `watcher` is given the text of each report that
// dprintf logs (not the muted ones), after it is logged. Null stops it.
void vk_watchDiagnostics(void (*watcher)(const char *text));

#endif
