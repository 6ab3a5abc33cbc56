// The C interface from C# through P/Invoke (Cdecl, texts as UTF-8 bytes with
// their lengths), run under Mono against the built library:
//
//   mono MonoHost.exe        (the library found as libvantorelle.so)
//
// Runs the sequence every C-level host runs (sequence.c) and prints
// "records: N" and "log: PATH" for run_host.cmake to read back. Exit 0 when
// every check held.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class Vtc {
    const string Lib = "vantorelle";
    public static readonly UIntPtr Nts = UIntPtr.Size == 8 ? new UIntPtr(ulong.MaxValue) : new UIntPtr(uint.MaxValue);
    public const int Ok = 0, UserIdZero = 2, AlreadyRecording = 3, InvalidArgument = 6, Ignored = 7,
                     BufferTooSmall = 8;

    [StructLayout(LayoutKind.Sequential)]
    public struct State {
        public uint StructSize, Recording, LogOpen, Reserved;
        public ulong Recordings, RecordsWritten, RecordsLost;
    }

    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern uint vtcGetAbiVersion();
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern IntPtr vtcGetVersionString();
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int vtcStart(uint userId, uint matchId, uint server, uint referenceTime, byte[] dir,
                                      UIntPtr len);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int vtcStop();
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int vtcSendKey(int keyCode, byte[] name, UIntPtr len);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int vtcSendInfo(byte[] name, UIntPtr nameLen, byte[] value, UIntPtr valueLen);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int vtcGetState(ref State s);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int vtcGetLogPath(byte[] buf, UIntPtr size, out UIntPtr required);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern IntPtr vtcStatusName(int status);
    public static string StatusName(int status) { return Marshal.PtrToStringAnsi(vtcStatusName(status)); }

    public static UIntPtr Len(byte[] b) { return new UIntPtr((uint)b.Length); }
}

static class MonoHost {
    static void Expect(string what, object got, object want) {
        if (!got.Equals(want)) throw new Exception(what + ": got " + got + ", expected " + want);
    }

    static Vtc.State State() {
        var s = new Vtc.State { StructSize = (uint)Marshal.SizeOf(typeof(Vtc.State)) };
        Expect("vtcGetState", Vtc.vtcGetState(ref s), Vtc.Ok);
        return s;
    }

    static int Main() {
        try {
            var utf8 = new UTF8Encoding(false);
            byte[] dir = utf8.GetBytes(Path.Combine("c-host-logs", "Prot\u00f6kolle-\u65e5\u672c"));
            byte[] key = utf8.GetBytes("\u00c4pfel-\u65e5"), name = utf8.GetBytes("Karte");
            byte[] value = utf8.GetBytes("H\u00e4fen-\U0001F3AE");
            Expect("ABI major", Vtc.vtcGetAbiVersion() >> 16, 1u);
            Expect("ABI minor of vtcStatusName", (Vtc.vtcGetAbiVersion() & 0xFFFF) >= 1u, true);
            Expect("status name", Vtc.StatusName(Vtc.AlreadyRecording), "VTC_ALREADY_RECORDING");
            Expect("unknown status name", Vtc.StatusName(4096), "unknown status");
            Expect("State size", Marshal.SizeOf(typeof(Vtc.State)), 40);
            Console.WriteLine("library " + Marshal.PtrToStringAnsi(Vtc.vtcGetVersionString()));
            Expect("userId 0", Vtc.vtcStart(0, 47, 0x7F000002, 0, dir, Vtc.Len(dir)), Vtc.UserIdZero);
            Expect("null dir with a length", Vtc.vtcStart(12, 47, 0x7F000002, 0, null, new UIntPtr(5)),
                   Vtc.InvalidArgument);
            Expect("start", Vtc.vtcStart(12, 47, 0x7F000002, 0, dir, Vtc.Len(dir)), Vtc.Ok);
            Expect("second start", Vtc.vtcStart(12, 48, 0x7F000002, 0, dir, Vtc.Len(dir)), Vtc.AlreadyRecording);
            var s = State();
            Expect("recording", s.Recording + "/" + s.LogOpen, "1/1");
            Expect("key", Vtc.vtcSendKey(65, key, Vtc.Len(key)), Vtc.Ok);
            Expect("fact", Vtc.vtcSendInfo(name, Vtc.Nts, value, Vtc.Len(value)), Vtc.Ok);
            Expect("key code 0", Vtc.vtcSendKey(0, key, Vtc.Len(key)), Vtc.InvalidArgument);
            Expect("null name with a length", Vtc.vtcSendKey(1, null, new UIntPtr(3)), Vtc.InvalidArgument);
            UIntPtr need;
            Expect("path size", Vtc.vtcGetLogPath(null, UIntPtr.Zero, out need), Vtc.Ok);
            var shortBuf = new byte[(int)need.ToUInt32() - 1];
            Expect("path one byte short", Vtc.vtcGetLogPath(shortBuf, Vtc.Len(shortBuf), out need),
                   Vtc.BufferTooSmall);
            var buf = new byte[(int)need.ToUInt32()];
            Expect("path", Vtc.vtcGetLogPath(buf, Vtc.Len(buf), out need), Vtc.Ok);
            string path = utf8.GetString(buf, 0, buf.Length - 1);
            Expect("directory", Directory.Exists(utf8.GetString(dir)), true);
            Expect("stop", Vtc.vtcStop(), Vtc.Ok);
            s = State();
            Expect("after stop", s.Recording + "/" + s.LogOpen, "0/0");
            Expect("late key", Vtc.vtcSendKey(1, utf8.GetBytes("late"), new UIntPtr(4)), Vtc.Ignored);
            // UTF-8 bytes to standard output, whatever the console's encoding.
            var output = Console.OpenStandardOutput();
            var lines = utf8.GetBytes("records: " + s.RecordsWritten + "\nlog: " + path + "\n");
            output.Write(lines, 0, lines.Length);
            output.Flush();
            return 0;
        } catch (Exception e) {
            Console.Error.WriteLine("mono host: " + e.Message);
            return 1;
        }
    }
}
