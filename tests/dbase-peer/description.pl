# Reads a nuvak-dbtool description into the rows each table must hold, in
# description order (which is index order within one key).
package Description;
use strict;
use warnings;

# Returns { nuvak => [rows], grppre => [rows], cam => [rows], mon => [rows] },
# each row a hash of field name => value (numbers as numbers, text as text).
sub read_file {
    my ($path) = @_;
    open(my $fh, '<', $path) or die "cannot read $path: $!\n";
    my %t = (nuvak => [], grppre => [], cam => [], mon => []);
    my ($kind, $id, $logical);
    while (my $line = <$fh>) {
        my @tok;
        while ($line =~ /\G\s*(?:"((?:[^"\\]|\\.)*)"|([^\s"#]+)|(#.*)|\s*$)/gc) {
            last if defined $3 or (!defined $1 and !defined $2);
            if (defined $1) { (my $s = $1) =~ s/\\(.)/$1/g; push @tok, $s; }
            else { push @tok, $2; }
        }
        next unless @tok;
        my $kw = lc shift @tok;
        if ($kw eq 'tour' or $kw eq 'preset') {
            ($kind, $id, $logical) = ($kw, $tok[0], $tok[2]);
        } elsif ($kw eq 'step') {
            my %a = @tok;
            push @{$t{nuvak}}, { GRPTOUR => $id, LGRPTOUR => $logical,
                                 GRPPRESET => $a{preset}, GRPDWELL => $a{dwell} };
        } elsif ($kw eq 'element') {
            my %a = @tok;
            push @{$t{grppre}}, { GRPPRESET => $id, LGRPPRESET => $logical, MON => $a{monitor},
                                  CAM => $a{camera}, CAMPRESET => $a{preset} // 0 };
        } elsif ($kw eq 'camera' or $kw eq 'monitor') {
            my ($n, undef, $l, %extra) = @tok;
            my %row = %{{ map { uc($_) => $extra{$_} } keys %extra }};
            if ($kw eq 'camera') { @row{qw(CAM LCAM)} = ($n, $l); push @{$t{cam}}, \%row; }
            else { @row{qw(MON LMON)} = ($n, $l); push @{$t{mon}}, \%row; }
        } else {
            die "$path: unknown line: $line";
        }
    }
    return \%t;
}

1;
