/*
 * The object store: toe objects with a dictionary of values addressed by slice and key, ordered
 * parents, one superior, named children and their own Tcl commands (methods); values that are
 * strings or typed binaries; per-interpreter stacks of object contexts whose top is the current
 * object.
 *
 * Functions return 0 on success and -1 (or null) on failure unless noted; none of them touches an
 * interpreter result. Not thread-safe: the store is used from the agent's one thread.
 */
#ifndef TELVI_TOE_H
#define TELVI_TOE_H

#include <stdint.h>
#include <tcl.h>
#include "api.h"
#include "datatype.h"

TELVI_BEGIN_DECLS

/* A value: untyped (string only) or typed (binary, with the string as a cache rebuilt on request). */
typedef struct toeVal {
  dataType *type;
  void *binary;
  char *string;
} toeVal;

/* An object. Use the functions below; the fields are shown for debugging and tools. */
typedef struct toe {
  Tcl_HashTable *methods;    /* the object's own commands by name; null until it has one */
  Tcl_HashTable dictionary;  /* "slice:key" -> toeVal * */
  struct toe **parents;      /* null-terminated, each referenced */
  struct toe *superior;      /* referenced, or null */
  const char *id;            /* "toe<n>", owned by the identifier registry */
  int32_t refCount;
  uint16_t destroyPending;
  /* The interpreter layer's: the namespace that holds the methods and its interpreter. */
  Tcl_Namespace *methodsNamespace;
  Tcl_Interp *methodsInterp;
} toe;

/* A context frame; the interpreter keeps the top one. */
typedef struct toeContext {
  toe *first;   /* the object whose methods are looked up first */
  toe *second;  /* the object the commands work on (the current object) */
  struct toeContext *below;
  struct toeContext *above;
} toeContext;

/* Selectors of toeGetCurrentObject: the method object and the current object of the top frame.
 * The two differ only inside toe_supersend. */
#define TOE_SELECT_METHODS 1
#define TOE_SELECT_CURRENT 2

/* Composite keys ("slice:key") longer than this are refused. */
#define TOE_MAX_KEY 1023

/* ---- the object-aware interpreter layer ---- */

/* The key of an interpreter's context stack: its global command table. Installs the layer
 * (command resolution against the current object, methods for commands created in object context)
 * on first use. */
TELVI_API Tcl_HashTable *toeInterpCommandTable(Tcl_Interp *interp);
TELVI_API toeContext *toeGetContextByTable(Tcl_HashTable *table);
TELVI_API void toeSetContextByTable(Tcl_HashTable *table, toeContext *frame);
TELVI_API toe *toeGetCurrentObjectByTable(Tcl_HashTable *table, int selector);
TELVI_API Tcl_HashEntry *Toe_CreateHashEntry(Tcl_HashTable *table, const char *key, int *isNew);
TELVI_API Tcl_HashEntry *Toe_FindHashEntry(Tcl_HashTable *table, const char *key);
/* The dictionary entry for the composite key seen from the object: search mode 0 the object's own
 * entries; 1 also its parents, depth first in order (each parent before that parent's parents);
 * 2 also its superiors, nearest first; 3 the object, its parents as in mode 1, then the superior
 * searched the same way (own, parents, its superior, ...). The selector must be 2 (dictionary). */
TELVI_API Tcl_HashEntry *Toe_FindObjectHashEntry(toe *object, const char *key, int selector, int mode);

/* Tcl_CreateCommand that makes the command a method of the current object when there is one. */
TELVI_API Tcl_Command toeCreateCommand(Tcl_Interp *interp, const char *name, Tcl_CmdProc *proc,
                                       ClientData clientData, Tcl_CmdDeleteProc *deleteProc);

/* Makes the command a method of the object whatever is current (null: not created). */
TELVI_API Tcl_Command toeCreateMethod(Tcl_Interp *interp, toe *object, const char *name, Tcl_CmdProc *proc,
                                      ClientData clientData, Tcl_CmdDeleteProc *deleteProc);

/* ---- contexts ---- */
TELVI_API toeContext *toeGetContext(Tcl_Interp *interp);
TELVI_API void toeSetContext(Tcl_Interp *interp, toeContext *frame);
TELVI_API toe *toeGetCurrentObject(Tcl_Interp *interp, int selector);
TELVI_API int toePushContext(Tcl_Interp *interp, toe *first, toe *second);
TELVI_API int toePopContext(Tcl_Interp *interp);
/* Evaluates the script (Tcl_Eval) with the object as both objects of the top frame: a frame is pushed
 * for the evaluation unless the top frame already is that. */
TELVI_API int toeEvalIn(Tcl_Interp *interp, toe *object, const char *script);
/* The same for scripts that recur (a node's method text, an update action): the script is kept as a
 * Tcl object per interpreter, so its bytecode is compiled once. A null object evaluates in the
 * context as it stands (no frame pushed). */
TELVI_API int toeEvalCachedIn(Tcl_Interp *interp, toe *object, const char *script);
/* Evaluates the words as one command (no substitution) with the object current (null: the context as
 * it stands); the command name's object is kept per interpreter, so its look-up is reused. */
TELVI_API int toeEvalWordsIn(Tcl_Interp *interp, toe *object, int count, const char *const words[]);

/* ---- objects ---- */
TELVI_API toe *toeCreate(toe **parents, int count, toe *superior);
TELVI_API int toeDestroy(toe *object);
TELVI_API void toeIncrRefCount(toe *object);
TELVI_API void toeDecrRefCount(toe *object);
TELVI_API int toeCleanOutObject(Tcl_Interp *interp, toe *object);
TELVI_API const char *toeGetId(toe *object);
TELVI_API toe *toeGetSuperior(toe *object);
TELVI_API int toeSetSuperior(toe *object, toe *superior);
TELVI_API int toeGetParents(toe *object, toe ***parents, int *count);
TELVI_API int toeSetParents(toe *object, toe **parents, int count);
TELVI_API int toeAddParents(toe *object, toe **parents, int count, int position);
TELVI_API toe *toeGetInheritObject(toe *object, int index);
TELVI_API toe *toeGetChild(toe *object, int index);
TELVI_API int toeGetChildCount(toe *object);
/* The object's name, or with depth != 0 the dotted names of it and its named superiors (depth -1:
 * all of them). Heap string freed by the caller, or null when the object has no name. */
TELVI_API char *toeObject2Name(toe *object, int depth);
TELVI_API toe *toeString2Object(toe *object, const char *string);
/* Flags: 1 scoped search (also tries the superiors), 2 create missing objects, each inheriting
 * the count parents in order. *created (may be null) tells whether the result was created. */
TELVI_API toe *toeLocate(toe *object, const char *path, int flags, int *created, toe **parents,
                         int count);
/* Resolves "path.key": returns the object the path names and points *key past the last ".". */
TELVI_API toe *toeKeyList2ObjectAndKey(toe *object, const char **key, int flags);
TELVI_API int toeInherit(toe *object, const char *name);
TELVI_API int toeDuplicateAndInherit(toe *object, toe *source);
TELVI_API int toeDestroyHierarchy(toe *object);
TELVI_API int toeRemoveKey(toe *object, const char *slice, const char *key);
TELVI_API void toeDump(toe *object);

/* ---- dictionary ---- */
TELVI_API toeVal *toeDefine(toe *object, const char *slice, const char *key, dataType *type, const void *data);
TELVI_API toeVal *toeRawDefine(toe *object, const char *slice, const char *key, dataType *type,
                               const void *data);
TELVI_API toeVal *toeDefineString(toe *object, const char *slice, const char *key, dataType *type,
                                  const char *string);
TELVI_API toeVal *toeLookup(toe *object, int mode, const char *slice, const char *key);
TELVI_API toeVal *toeRawLookup(toe *object, int mode, const char *slice, const char *key);
TELVI_API const char *toeLookupString(toe *object, int mode, const char *slice, const char *key);
TELVI_API void *toeLookupType(toe *object, int mode, const char *slice, const char *key, dataType *type);
TELVI_API int toeUndefine(toe *object, const char *slice, const char *key);
TELVI_API int toeRawUndefine(toe *object, const char *slice, const char *key);
TELVI_API int toeUndefineSlice(toe *object, const char *slice);
TELVI_API int toeUndefineRange(toe *object, const char *slice, int first, int last);
TELVI_API stringList *toeSlices(toe *object);
TELVI_API stringList *toeEntries(toe *object, const char *slice);
TELVI_API int toeCopySlice(toe *object, const char *source, const char *destination);
TELVI_API int toeAppendValue(toe *object, const char *slice, const char *key, const char *element);
TELVI_API int toeRemoveValue(toe *object, const char *slice, const char *key, const char *element);
TELVI_API int toeAddKeyByIndex(toe *object, const char *slice, const char *key, int index);
TELVI_API int toeDefineSlice(toe *object, const char *slice, dataType *type, int count,
                             const char **keys, const char **values);
TELVI_API const char *toeFirstKey(toe *object, const char *slice);
TELVI_API const char *toeNextKey(toe *object, const char *slice);

/* ---- values ---- */
TELVI_API toeVal *toeValCreate(dataType *type, const void *data);
TELVI_API void toeValDestroy(toeVal *value);
TELVI_API int toeValCvtType(toeVal *value, dataType *type);
TELVI_API const char *toeValGetStringValue(toeVal *value);
TELVI_API void *toeValGetType(toeVal *value, dataType *type);
TELVI_API int toeValSetStringValue(toeVal *value, const char *string);
TELVI_API int toeValSetType(toeVal *value, dataType *type, const void *data);
TELVI_API dataType *toeValGetDataType(toeVal *value);

TELVI_END_DECLS

#endif
