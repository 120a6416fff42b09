package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

// The environment is the runtime library's table, which the stand-in holds.
class EnvironmentTest {
    private static final String[] TABLE = {"PATH=C:\\bin", "zeta=last", "ALPHA=1=2"};

    @BeforeEach
    void table() {
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
