// The library as a loaded module: what exists from load to unload.
//
// The library has no entry-point code and no initialisation or shutdown call.
// Linux's loader sends no per-thread attach or detach notifications, so there
// is nothing to switch off at load; the objects below are built by the C++
// runtime when the library is loaded (or on first use) and destroyed in reverse
// order when it is unloaded.
//
// Built at load time, in src/engine/RpcClientImpl.cpp:
//   - the shared messenger handle, default-constructed (unconfigured); the first
//     request configures it from the namespace "lnk.http.ext.ctrl";
//   - the messenger mutex and the messenger-ready flag that guard it;
//   - the request trace wrapper "ctrl.rpcclient".
// Built at load time, in src/soap/SOAPArgControlMessageList.cpp:
//   - the trace wrapper "ctrl.soap".
// Built on first use, from whichever thread comes first:
//   - the trace objects behind both wrappers (by QxPal);
//   - the message catalog "ctrl" (Catalog::GetCatalog, a function-local static).
//
// None of these objects is used by another object's destructor, so their
// destruction order at unload does not matter; none starts a thread.
