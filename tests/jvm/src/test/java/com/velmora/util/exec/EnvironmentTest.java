package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

// The environment is the runtime library's table, which the stand-in holds.
class EnvironmentTest {
    private static final String[] TABLE = {"PATH=C:\\bin", "zeta=last", "ALPHA=1=2"};

    @BeforeEach
    void table() {
        Standin.reset();  // code page 1252
        Standin.setEnvironment(TABLE);
    }

    @Test
    void listsEveryEntryInTableOrder() {
        assertArrayEquals(TABLE, Env.getEnvironments());
        Standin.setEnvironment(new String[0]);
        assertArrayEquals(new String[0], Env.getEnvironments());
    }

    @Test
    void readsAndSetsVariables() {
        assertEquals("C:\\bin", Env.getEnvironment("PATH"));
        assertEquals("1=2", Env.getEnvironment("ALPHA"));
        assertNull(Env.getEnvironment("UNSET"));

        assertTrue(Env.setEnvironment("NEW", "v"));
        assertTrue(Env.setEnvironment2("OTHER=w=x"));
        assertEquals("v", Env.getEnvironment("NEW"));
        assertEquals("w=x", Env.getEnvironment("OTHER"));
        assertEquals(List.of("NEW=v", "OTHER=w=x"), tail(2));

        // The runtime takes an empty value as removal.
        assertTrue(Env.setEnvironment("NEW", ""));
        assertNull(Env.getEnvironment("NEW"));
        assertFalse(Env.setEnvironment2("NOEQUALS"));
        assertNull(Env.getEnvironment("NOEQUALS"));
    }

    // Texts are handled whole up to the platform's limit of 32 767 characters per
    // entry; a longer one is refused and changes nothing.
    @Test
    void longEntriesRoundTripUpToThePlatformLimit() {
        for (int length : new int[] {1023, 1024, 32000, 32767}) {
            String value = "x".repeat(length - "L=".length());
            assertTrue(Env.setEnvironment("L", value), "setEnvironment " + length);
            assertTrue(value.equals(Env.getEnvironment("L")), "read back " + length);

            String other = "y".repeat(length - "M=".length());
            assertTrue(Env.setEnvironment2("M=" + other), "setEnvironment2 " + length);
            assertTrue(other.equals(Env.getEnvironment("M")), "read back " + length);

            List<String> listed = Arrays.asList(Env.getEnvironments());
            assertTrue(listed.contains("L=" + value) && listed.contains("M=" + other), "listed " + length);
        }
        String tooLong = "z".repeat(32768 - "L=".length());
        assertFalse(Env.setEnvironment("L", tooLong));
        assertFalse(Env.setEnvironment2("M=" + tooLong));
        assertEquals(32767 - 2, Env.getEnvironment("L").length());
        assertEquals(32767 - 2, Env.getEnvironment("M").length());
    }

    @Test
    void nullArgumentsGiveNullOrFalse() {
        assertNull(Env.getEnvironment(null));
        assertFalse(Env.setEnvironment(null, "v"));
        assertFalse(Env.setEnvironment("N", null));
        assertFalse(Env.setEnvironment2(null));
        assertArrayEquals(TABLE, Env.getEnvironments());
    }

    // Names, values and entries cross as text, whatever the ANSI code page can
    // hold: set, read, listed and removed intact, and what the platform holds is
    // that text too (a native that passed bytes would read its own bytes back).
    @Test
    void textsRoundTripThroughEveryNative() {
        for (int codePage : new int[] {1252, 65001}) {
            Standin.setCodePage(codePage);
            Standin.setEnvironment(TABLE);
            List<String> expected = new ArrayList<>(Arrays.asList(TABLE));
            for (String t : new String[] {"é", "ß", "Ж", "日本"}) {
                String where = t + " in code page " + codePage;
                assertTrue(Env.setEnvironment(t, t + " value"), where);
                assertTrue(Env.setEnvironment2("V_" + t + "=" + t), where);
                assertEquals(t + " value", Env.getEnvironment(t), where);
                assertEquals(t, Env.getEnvironment("V_" + t), where);
                expected.add(t + "=" + t + " value");
                expected.add("V_" + t + "=" + t);
            }
            assertEquals(expected, Arrays.asList(Env.getEnvironments()), "code page " + codePage);
            assertEquals(expected, Arrays.asList(Standin.platformEnvironment()), "code page " + codePage);

            assertTrue(Env.setEnvironment("Ж", ""));
            assertNull(Env.getEnvironment("Ж"));
            expected.remove("Ж=Ж value");
            assertEquals(expected, Arrays.asList(Env.getEnvironments()), "code page " + codePage);
            assertEquals(expected, Arrays.asList(Standin.platformEnvironment()), "code page " + codePage);
        }
    }

    // Entries that Windows or another program put there before the VM started,
    // held in the ANSI code page's bytes (0xE9 for é under 1252, which is not
    // modified UTF-8), are listed and read as the text they are.
    @Test
    void environmentThatStartsWithNonAsciiEntriesIsReadAsText() {
        Object[][] starts = {
            {1252, new String[] {"CAFÉ=café", "PATH=C:\\bin", "STRASSE=Straße"}},
            {65001, new String[] {"GREETING=Grüße", "JOSE=José", "Ж=Жук", "日本=日本語", "PATH=C:\\bin"}},
        };
        for (Object[] start : starts) {
            int codePage = (Integer) start[0];
            String[] entries = (String[]) start[1];
            Standin.setCodePage(codePage);
            Standin.setEnvironment(entries);
            assertArrayEquals(entries, Env.getEnvironments(), "code page " + codePage);
            for (String entry : entries) {
                int eq = entry.indexOf('=');
                assertEquals(entry.substring(eq + 1), Env.getEnvironment(entry.substring(0, eq)), entry);
            }
        }
    }

    // No Windows text holds U+0000. Cut there, each of these would name, set or
    // read a different variable ("A", "N=v") than the caller asked for.
    @Test
    void textsHoldingU0000AreRefused() {
        assertTrue(Env.setEnvironment("A", "set"));
        assertNull(Env.getEnvironment("A\u0000B"));
        assertFalse(Env.setEnvironment("N\u0000B", "v"));
        assertFalse(Env.setEnvironment("N", "v\u0000w"));
        assertFalse(Env.setEnvironment2("N=v\u0000w"));
        assertFalse(Env.setEnvironment2("N\u0000=v"));
        assertNull(Env.getEnvironment("N"));
        assertEquals("set", Env.getEnvironment("A"));
        assertEquals(List.of(TABLE[0], TABLE[1], TABLE[2], "A=set"), Arrays.asList(Env.getEnvironments()));
    }

    @Test
    void largeEnvironmentIsListedWhole() {
        String[] large = new String[5000];
        for (int i = 0; i < large.length; i++) {
            large[i] = String.format("VAR%04d=value of variable %d", i, i);
        }
        Standin.setEnvironment(large);
        assertArrayEquals(large, Env.getEnvironments());
    }

    private static List<String> tail(int n) {
        String[] all = Env.getEnvironments();
        return Arrays.asList(all).subList(all.length - n, all.length);
    }
}
