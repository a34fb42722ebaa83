PKERV 2.25 300 15
title
.20
=x:a.qvd
|y:b.zpt
.
second
.
; c
R1 @2 K3 ; x
\ ; kept
